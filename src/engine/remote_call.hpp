// What every UI-facing engine method shares: the hand-off of one request to the bridge.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bridge/async_call.hpp"
#include "codec/bytes.hpp"
#include "codec/timeout.hpp"

namespace pen::engine {

// Sends `payload` as function `fn_id` on the engine's connection and returns the future whose
// result `convert` builds from the reply.
PyObject* call_remote(PyObject* self, std::uint16_t fn_id, Bytes payload, const ws::Timeout& t,
                      bridge::ReplyConverter convert);

}  // namespace pen::engine

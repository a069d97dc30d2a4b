// What every UI-facing engine method shares: the time-out steps and the hand-off of one
// request to the bridge.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bridge/async_call.hpp"
#include "codec/bytes.hpp"
#include "ws/timeout.hpp"

namespace pen::engine {

// timeout_secs as a number: None (nullptr) gives `default_secs`; otherwise Python's float
// conversion, whose TypeError becomes the "timeout_secs" argument error.
bool timeout_number(PyObject* obj, double default_secs, double& secs);

// The number as a duration; a negative, NaN or too large value raises PanicException.
bool timeout_duration(double secs, ws::Timeout& out);

// Sends `payload` as function `fn_id` on the engine's connection and returns the future whose
// result `convert` builds from the reply.
PyObject* call_remote(PyObject* self, std::uint16_t fn_id, Bytes payload, const ws::Timeout& t,
                      bridge::ReplyConverter convert);

}  // namespace pen::engine

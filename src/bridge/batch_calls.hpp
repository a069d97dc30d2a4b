// The Python side of an engine batch's sends and waits: the interpreter lock released once for
// each, and the outcomes made into what each call's future would have held.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bridge/async_call.hpp"
#include "call/engine_batch.hpp"
#include "codec/timeout.hpp"

namespace pen::bridge {

// Starts a call of `fn_id` (empty payload) on each engine of `ids`, none of them outstanding;
// false with RuntimeError set when the background runtime cannot start.
bool send_batch(call::EngineBatch& batch, std::span<const std::size_t> ids, std::uint16_t fn_id,
                const Timeout& timeout);

// EngineBatch::recv without the interpreter lock.
std::vector<call::EngineBatch::Settled> recv_batch(call::EngineBatch& batch, std::size_t min_ready,
                                                   std::chrono::steady_clock::time_point until);

// What the call's future would have held: the converted result (is_result true) or the
// exception instance; nullptr with an exception set when neither could be built.
PyObject* settled_value(call::EngineBatch::Settled&& settled, ReplyConverter convert,
                        bool& is_result);

}  // namespace pen::bridge

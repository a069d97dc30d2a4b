// start_async_call: the one mechanism behind every asynchronous engine method.
//
// On the calling thread (GIL held) it creates an asyncio future on the running loop, attaches
// a done-callback that turns the future's cancellation into a cancellation of the work, and
// spawns the work on the engine's executor. When the work ends, a worker thread takes the GIL,
// converts the outcome and hands it to the loop with call_soon_threadsafe. A call to the UI
// may instead settle on the calling thread (start_remote_call), and its future is then done
// when it is returned.
#pragma once

#include <Python.h>

#include <memory>

#include <boost/asio/awaitable.hpp>

#include "call/engine_shared.hpp"
#include "codec/bytes.hpp"
#include "codec/result.hpp"
#include "codec/timeout.hpp"

namespace pen::bridge {

// Turns a reply payload into the method's Python result. Runs on a worker thread with the GIL
// held; returns a new reference, or nullptr with a Python exception set (which then becomes
// the future's exception).
using ReplyConverter = PyObject* (*)(Bytes&& payload);

// Returns the new future, or nullptr with an exception set (no running loop, runtime failure).
PyObject* start_async_call(const std::shared_ptr<call::EngineShared>& shared,
                           boost::asio::awaitable<Result<Bytes>> work, ReplyConverter convert);

// A call to the UI through the call path (call::start_call), with the interpreter lock released
// while the calling thread works on the socket. Returns the future, already done when the reply
// came on this thread, or nullptr with an exception set (no running loop).
PyObject* start_remote_call(const std::shared_ptr<call::EngineShared>& shared, std::uint16_t fn_id,
                            Bytes payload, const Timeout& timeout, ReplyConverter convert);

// Starts the runtime's workers if they are not running; false with RuntimeError set.
bool ensure_runtime();

// The Python value of a call's outcome (GIL held): the converted result (is_result true), or
// the exception instance the future would get; nullptr when even that could not be built (an
// exception is then set).
PyObject* outcome_value(Result<Bytes>&& outcome, ReplyConverter convert, bool& is_result);

// Converters shared by several methods.
PyObject* reply_to_none(Bytes&& payload);

}  // namespace pen::bridge

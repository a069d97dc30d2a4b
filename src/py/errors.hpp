// Python exceptions of the module: PanicException, the two failure kinds of a call
// (RpcTransportError and RpcError, both RuntimeError subclasses), and EngineError turned into
// one of them (or ValueError) at the Python boundary.
#pragma once

#include <Python.h>

#include <string>

#include "codec/engine_error.hpp"

namespace pen::py {

// A new PanicException class, the one raised by a synchronous call that fails with an internal
// fault. It derives directly from BaseException, so `except Exception` does not swallow it.
// The import makes it once (ModuleState::panic_exception); nullptr with an exception set.
PyObject* new_panic_exception_type();

// Makes the classes RpcTransportError and RpcError (ModuleState::rpc_transport_error,
// ::rpc_error): RuntimeError subclasses whose instances carry `seq` and `fn_id` (int or None),
// RpcError also `err` and `sub`. False with an exception set on failure.
bool new_rpc_exception_types();

// Raises PanicException(message).
void raise_panic(const std::string& message);

// A new exception instance: ValueError(text) for InvalidData, RpcError(text) or
// RpcTransportError(text) with the error's numbers as attributes for the RPC kinds, where text
// is EngineError::text(). nullptr with an exception set on failure.
PyObject* engine_error_to_exception(const EngineError& error);

// Raises the exception of engine_error_to_exception.
void set_engine_error(const EngineError& error);

}  // namespace pen::py

// Conversions of single arguments to C++ values. Each returns false with a Python exception
// set; a TypeError is not yet prefixed with the parameter name (callers use
// reraise_argument_error), except in the time-out helpers, which know their parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "ws/timeout.hpp"

namespace pen::py {

// Python's float protocol: a float, an int, or anything with __float__ or __index__.
bool to_f64(PyObject* obj, double& out);

// Integer protocol (__index__). A value that fits a signed 64-bit integer but not the target
// raises OverflowError "out of range integral type conversion attempted"; a value beyond the
// signed 64-bit range raises Python's own OverflowError.
bool to_u16(PyObject* obj, std::uint16_t& out);
bool to_u32(PyObject* obj, std::uint32_t& out);
bool to_i32(PyObject* obj, std::int32_t& out);

// A str (or subclass) as UTF-8. Anything else raises TypeError
// "'{type}' object cannot be converted to 'PyString'"; lone surrogates raise Python's own
// UnicodeEncodeError.
bool to_utf8(PyObject* obj, std::string& out);

// The qualified name of obj's type, for "'{}' object cannot be converted to '{}'" messages.
std::string type_qualname(PyObject* obj);

// Raises TypeError "'{type qualname of obj}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target);

// `timeout_secs`: nullptr (omitted or None) gives default_secs; otherwise the float value,
// whose TypeError is prefixed with "argument 'timeout_secs': ". A value that is not a
// valid duration raises PanicException with the refusal's message.
bool to_timeout(PyObject* obj_or_null, double default_secs, pen::ws::Timeout& out);

// As to_timeout, but nullptr means no limit (out = nullopt).
bool to_optional_timeout(PyObject* obj_or_null, std::optional<pen::ws::Timeout>& out);

}  // namespace pen::py

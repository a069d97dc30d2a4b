// Conversions of single arguments to C++ values. Each returns false with a Python exception
// set; a TypeError is not yet prefixed with the parameter name (named_arg does that), except in
// timeout_number, which knows its parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "codec/timeout.hpp"
#include "py/args.hpp"

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

// Converts the named parameter `name` with `convert`; a TypeError gets the argument prefix.
template <class T, class Convert>
bool named_arg(PyObject* obj, const char* name, T& out, Convert convert) {
  if (convert(obj, out)) return true;
  reraise_argument_error(name);
  return false;
}

// The two steps of a method's time-out, which run at different points of the call:
// timeout_number converts `timeout_secs` with the other named parameters (nullptr, for omitted
// or None, gives default_secs; a TypeError gets the "timeout_secs" prefix), timeout_duration
// turns the number into a duration just before the call starts (a negative, NaN or too large
// value raises PanicException with the refusal's message).
bool timeout_number(PyObject* obj_or_null, double default_secs, double& secs);
bool timeout_duration(double secs, Timeout& out);

}  // namespace pen::py

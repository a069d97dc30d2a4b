#include "py/args.hpp"

#include <string>

#include "py/py_ref.hpp"

namespace pen::py {
namespace {

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(std::span<const char* const> names) {
  if (names.size() == 1) return quoted(names[0]);
  if (names.size() == 2) return quoted(names[0]) + " and " + quoted(names[1]);
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i + 1 == names.size()) out += "and ";
    out += quoted(names[i]);
    if (i + 1 != names.size()) out += ", ";
  }
  return out;
}

void raise_too_many_positional(const char* fname, std::span<const Param> params, Py_ssize_t given) {
  std::size_t required = 0;
  for (const Param& p : params) required += p.required ? 1 : 0;
  std::string takes;
  if (required != params.size()) {
    takes = "from " + std::to_string(required) + " to " + std::to_string(params.size()) +
            " positional arguments";
  } else {
    takes = std::to_string(params.size()) + " positional argument" +
            (params.size() == 1 ? "" : "s");
  }
  raise_type_error(std::string(fname) + "() takes " + takes + " but " + std::to_string(given) +
                   (given == 1 ? " was" : " were") + " given");
}

// Index of the parameter named `key`, or params.size().
std::size_t find_param(std::span<const Param> params, PyObject* key) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) return i;
  }
  return params.size();
}

bool bind_keywords(const char* fname, std::span<const Param> params, PyObject* kwargs,
                   std::span<PyObject*> out, std::span<bool> given) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      raise_type_error("keywords must be strings");
      return false;
    }
    const std::size_t i = find_param(params, key);
    if (i == params.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    if (given[i]) {
      raise_type_error(std::string(fname) + "() got multiple values for argument '" +
                       params[i].name + "'");
      return false;
    }
    given[i] = true;
    out[i] = value;
  }
  return true;
}

}  // namespace

bool bind_args(const char* fname, std::span<const Param> params, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> out) {
  // Parameter lists are short (at most nine); a fixed array avoids allocating per call.
  constexpr std::size_t kMaxParams = 16;
  bool given_storage[kMaxParams] = {};
  if (params.size() > kMaxParams || out.size() < params.size()) {
    PyErr_SetString(PyExc_SystemError, "bind_args: parameter table too large");
    return false;
  }
  std::span<bool> given(given_storage, params.size());
  for (PyObject*& slot : out) slot = nullptr;

  const Py_ssize_t npos = args != nullptr ? PyTuple_Size(args) : 0;
  if (npos < 0) return false;
  if (static_cast<std::size_t>(npos) > params.size()) {
    raise_too_many_positional(fname, params, npos);
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) {
    out[i] = PyTuple_GetItem(args, i);
    given[i] = true;
  }
  if (kwargs != nullptr && !bind_keywords(fname, params, kwargs, out, given)) return false;

  const char* missing[kMaxParams];
  std::size_t nmissing = 0;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].required && !given[i]) missing[nmissing++] = params[i].name;
  }
  if (nmissing != 0) {
    raise_type_error(std::string(fname) + "() missing " + std::to_string(nmissing) +
                     " required positional argument" + (nmissing == 1 ? "" : "s") + ": " +
                     join_names(std::span<const char* const>(missing, nmissing)));
    return false;
  }

  // An optional parameter given None is the same as an omitted one.
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!params[i].required && out[i] == Py_None) out[i] = nullptr;
  }
  return true;
}

void reraise_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type);
  Ref original(value);
  Ref owned_traceback(traceback);

  Ref message(original ? PyObject_Str(original.get()) : PyUnicode_FromString(""));
  if (!message) return;
  Ref text(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!text) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  // SetCause steals the reference; a null cause leaves __cause__ as None.
  PyException_SetCause(replacement.get(),
                       original ? PyException_GetCause(original.get()) : nullptr);
  PyErr_Restore(Py_NewRef(PyExc_TypeError), replacement.release(), nullptr);
}

}  // namespace pen::py

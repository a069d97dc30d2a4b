// Reply payloads to Python results. Each runs on a worker thread with the GIL held and returns
// a new reference, or nullptr with the exception the future should get.
#pragma once

#include <Python.h>

#include "codec/bytes.hpp"

namespace pen::engine {

PyObject* reply_u32(Bytes&& payload);          // first four bytes as u32 LE; shorter gives 0
PyObject* reply_text(Bytes&& payload);         // UTF-8 text; invalid UTF-8 gives "{}"
PyObject* reply_sync_policy(Bytes&& payload);  // 0 "deferred", 1 "eager", else None
PyObject* reply_vec(Bytes&& payload);          // VecF64 -> float64 (n,)
PyObject* reply_mat(Bytes&& payload);          // MatF64 -> float64 (rows, cols)
PyObject* reply_mat_vec(Bytes&& payload);      // VecMatF64 -> (matrix, vector)

}  // namespace pen::engine

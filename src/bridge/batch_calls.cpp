#include "bridge/batch_calls.hpp"

#include <utility>

#include "bridge/callback_types.hpp"

namespace pen::bridge {

bool send_batch(call::EngineBatch& batch, std::span<const std::size_t> ids, std::uint16_t fn_id,
                const Timeout& timeout) {
  if (!ensure_runtime()) return false;  // busy engines hand their calls to the workers
  PyThreadState* released = PyEval_SaveThread();
  for (std::size_t i : ids) batch.send(i, fn_id, {}, timeout);
  PyEval_RestoreThread(released);
  return true;
}

std::vector<call::EngineBatch::Settled> recv_batch(call::EngineBatch& batch, std::size_t min_ready,
                                                   std::chrono::steady_clock::time_point until) {
  std::vector<call::EngineBatch::Settled> out;
  PyThreadState* released = PyEval_SaveThread();
  out = batch.recv(min_ready, until);
  PyEval_RestoreThread(released);
  return out;
}

PyObject* settled_value(call::EngineBatch::Settled&& settled, ReplyConverter convert,
                        bool& is_result) {
  if (!settled.panicked) return outcome_value(std::move(settled.outcome), convert, is_result);
  is_result = false;
  return PyObject_CallFunction(native_panic_type(), "s", "native future panicked: unknown error");
}

}  // namespace pen::bridge

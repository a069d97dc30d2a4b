// The engine's methods, in the order of its method table.
#pragma once

#include <Python.h>

namespace pen::engine {

PyObject* method_start(PyObject* self, PyObject* unused);
PyObject* method_wait_connected(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_init_candles(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_reset_episode(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_get_rl_config(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_step_next(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_step_and_sync(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_get_snapshot(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_get_ticket_list(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_get_ohlc(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_fetch_events(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_end_session(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_get_sync_policy(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_close_positions(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_place_order(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_place_ticket(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* method_close(PyObject* self, PyObject* unused);
PyObject* method_aenter(PyObject* self, PyObject* unused);
PyObject* method_aexit(PyObject* self, PyObject* args, PyObject* kwargs);

// Getters of the read-only properties.
PyObject* get_bound_port(PyObject* self, void* unused);
PyObject* get_bound_address(PyObject* self, void* unused);

}  // namespace pen::engine

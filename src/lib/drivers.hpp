// The four functions of the module: bind, convert, run the pipeline, build the result list.
#pragma once

#include "lib/python.hpp"

namespace tolva::py {

PyObject* compute_q_near_graph_old(PyObject* module, PyObject* positional, PyObject* keywords);
PyObject* compute_q_near_graph_new(PyObject* module, PyObject* positional, PyObject* keywords);
PyObject* compute_q_near_graph_old_from_file(PyObject* module, PyObject* positional, PyObject* keywords);
PyObject* compute_q_near_graph_new_from_file(PyObject* module, PyObject* positional, PyObject* keywords);

}  // namespace tolva::py

// Runs a call's native work on a thread of its own while the calling thread waits with the
// interpreter lock released: other Python threads keep running, and the caller wakes
// several times a second to handle signals (Ctrl-C) and report progress. When Python raises
// meanwhile, the work is cancelled and joined, its partial results dropped, and the Python
// exception goes on.
#pragma once

#include <exception>
#include <functional>

#include "base/task.hpp"
#include "arrays/python.hpp"

namespace tolva::arrays {

// `progress` is None/null or a callable taking (stage, done, total); it is called on the
// calling thread at most ten times a second. Failures of `work` are rethrown here as they
// were thrown; work must touch no interpreter object.
void run_native(const std::function<void()>& work, PyObject* progress);

// TypeError unless `progress` is None or callable: checked before any work, since a quick
// call would never call it.
void check_progress(PyObject* progress);

// The name Python sees for a stage.
const char* stage_name(Stage stage) noexcept;

}  // namespace tolva::arrays

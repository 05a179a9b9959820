// The one place where C++ failures become Python exceptions: every entry point the
// interpreter calls runs its body through `boundary`, which is also the call's memory budget.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "lib/python.hpp"
#include "base/memory_guard.hpp"
#include "base/panic.hpp"

namespace tolva::py {

// Raises pyo3_runtime.PanicException(message), creating the type on first use.
void raise_panic_exception(const std::string& message);

template <class Body>
PyObject* boundary(Body&& body) noexcept {
  const MemoryBudgetScope budget;
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const Panic& failure) {
    raise_panic_exception(failure.message());
  } catch (const OutOfMemory& failure) {
    PyErr_SetString(PyExc_MemoryError, failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic_exception(failure.what());
  } catch (...) {
    raise_panic_exception("native code failed with an unknown exception");
  }
  return nullptr;
}

}  // namespace tolva::py

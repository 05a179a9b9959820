#include "arrays/errors.hpp"

#include <cstdlib>
#include <new>
#include <string_view>

#include "base/panic.hpp"
#include "base/task.hpp"

namespace tolva::arrays {
namespace {

constexpr std::string_view kOpenFailed = "could not find .flag input file";
constexpr std::string_view kReadFailed = "File Parsing failed: Os {";
constexpr std::string_view kErrorNumber = "Os { code: ";

// The error number in an "Os { code: N, ... }" rendering; 0 when there is none.
int error_number_in(const std::string& message) {
  const auto at = message.find(kErrorNumber);
  if (at == std::string::npos) return 0;
  return std::atoi(message.c_str() + at + kErrorNumber.size());
}

void raise_os_error(const FileFailure& failure) {
  // OSError(errno, message) picks the subclass for the number (FileNotFoundError, ...).
  Ref error(failure.error_number != 0
                ? PyObject_CallFunction(PyExc_OSError, "is", failure.error_number, failure.what())
                : PyObject_CallFunction(PyExc_OSError, "s", failure.what()));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

void raise_memory_error(const char* message) {
  if (std::string_view(message) == "std::bad_alloc") {
    PyErr_NoMemory();
  } else {
    PyErr_SetString(PyExc_MemoryError, message);
  }
}

}  // namespace

void classify_input_failures(const std::function<void()>& work) {
  try {
    work();
  } catch (const Panic& failure) {
    const std::string& message = failure.message();
    if (message.starts_with(kOpenFailed) || message.starts_with(kReadFailed)) {
      throw FileFailure(error_number_in(message), message);
    }
    throw InvalidInput(message);
  }
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
  } catch (const InvalidInput& failure) {
    PyErr_SetString(PyExc_ValueError, failure.what());
  } catch (const FileFailure& failure) {
    raise_os_error(failure);
  } catch (const std::bad_alloc& failure) {
    raise_memory_error(failure.what());
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const Panic& failure) {
    // Positions beyond what a pair can hold: the work is too large, like a failed allocation.
    if (failure.message() == "capacity overflow") {
      raise_memory_error("capacity overflow: more simplices or vertices than 32-bit numbers can hold");
    } else {
      PyErr_SetString(PyExc_RuntimeError, failure.what());
    }
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "native code failed with an unknown exception");
  }
}

}  // namespace tolva::arrays

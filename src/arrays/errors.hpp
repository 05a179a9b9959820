// The failures of this module and the one place where C++ failures become Python
// exceptions: ordinary exception types, never a panic type, and nothing on standard error.
#pragma once

#include <cxxabi.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "arrays/python.hpp"

namespace tolva::arrays {

// Input the call cannot use (raised as ValueError).
class InvalidInput : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that could not be opened or read (raised as OSError, with its error number).
class FileFailure : public std::runtime_error {
 public:
  FileFailure(int number, const std::string& message) : std::runtime_error(message), error_number(number) {}
  int error_number;
};

// Runs `work` (which reads the graph) and turns the reader's failures into the two types
// above, with the reader's messages.
void classify_input_failures(const std::function<void()>& work);

// Sets the Python exception for the exception being handled.
void raise_current_exception() noexcept;

// Not noexcept: a daemon thread that the interpreter ends at exit, while it waits for native
// work, is unwound by the C library (abi::__forced_unwind), which must pass through; the
// native work is cancelled and joined on the way (native_call.hpp).
template <class Body>
PyObject* boundary(Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace tolva::arrays

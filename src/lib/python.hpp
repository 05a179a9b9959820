// Interpreter access for the binding layer: the Python header under the stable ABI, an
// owning reference, and the C++ exception that says "the interpreter's error is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <string>
#include <utility>

namespace tolva::py {

// Set on a thread that the interpreter ends while it waits for the interpreter lock (a
// daemon thread at exit, unwound by the C library): nothing of the interpreter may be touched
// on its way out, so the references it holds are left to the end of the process instead of
// being released. Initial-exec, so that reading it never allocates.
[[gnu::tls_model("initial-exec")]] inline thread_local bool interpreter_gone = false;

// Takes the interpreter lock again after PyEval_SaveThread; marks the thread when the
// interpreter ends it there instead.
inline void restore_thread(PyThreadState* saved) {
  try {
    PyEval_RestoreThread(saved);
  } catch (abi::__forced_unwind&) {
    interpreter_gone = true;
    throw;
  }
}

// Thrown when an interpreter call failed and left its exception set; the boundary raises it.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Sets a Python exception of the given type and throws PythonError.
[[noreturn]] void raise(PyObject* exception_type, const std::string& message);

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      drop();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~Ref() { drop(); }

  static Ref borrowed(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  // Takes a new reference returned by an interpreter call; throws when the call failed.
  static Ref checked(PyObject* result) {
    if (result == nullptr) throw_python_error();
    return Ref(result);
  }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  void drop() noexcept {
    if (!interpreter_gone) Py_XDECREF(object_);
  }

  PyObject* object_ = nullptr;
};

// UTF-8 text of a str object; throws PythonError when it cannot be encoded.
std::string utf8_of(PyObject* text);

// str(object) as UTF-8; throws PythonError on failure.
std::string str_of(PyObject* object);

// The __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

}  // namespace tolva::py

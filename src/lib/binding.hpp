// Binding of a call's positional tuple and keyword dictionary to the five parameters.
#pragma once

#include <array>

#include "lib/python.hpp"

namespace tolva::py {

inline constexpr std::size_t kParameterCount = 5;

struct FunctionDescription {
  const char* name;
  std::array<const char*, kParameterCount> parameters;
};

// Borrowed references to the five arguments in parameter order; throws PythonError with
// the TypeError of the first problem (too many positional, keyword problems, missing).
std::array<PyObject*, kParameterCount> bind_arguments(const FunctionDescription& function,
                                                      PyObject* positional, PyObject* keywords);

}  // namespace tolva::py

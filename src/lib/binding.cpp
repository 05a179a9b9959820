#include "lib/binding.hpp"

#include <string>
#include <vector>

namespace tolva::py {
namespace {

std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) list += names.size() == 2 ? " and " : (k + 1 == names.size() ? ", and " : ", ");
    list += std::string("'") + names[k] + "'";
  }
  return list;
}

void bind_keywords(const FunctionDescription& function, PyObject* keywords,
                   std::array<PyObject*, kParameterCount>& slots) {
  Py_ssize_t cursor = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(keywords, &cursor, &key, &value)) {
    bool matched = false;
    for (std::size_t p = 0; p < kParameterCount && !matched; ++p) {
      if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, function.parameters[p]) != 0) continue;
      matched = true;
      if (slots[p] != nullptr) {
        raise(PyExc_TypeError, std::string(function.name) + "() got multiple values for argument '" +
                                   function.parameters[p] + "'");
      }
      slots[p] = value;
    }
    if (!matched) {
      raise(PyExc_TypeError,
            std::string(function.name) + "() got an unexpected keyword argument '" + str_of(key) + "'");
    }
  }
}

}  // namespace

std::array<PyObject*, kParameterCount> bind_arguments(const FunctionDescription& function,
                                                      PyObject* positional, PyObject* keywords) {
  std::array<PyObject*, kParameterCount> slots{};
  const Py_ssize_t given = PyTuple_Size(positional);
  if (given < 0) throw_python_error();
  if (static_cast<std::size_t>(given) > kParameterCount) {
    raise(PyExc_TypeError, std::string(function.name) + "() takes 5 positional arguments but " +
                               std::to_string(given) + " were given");
  }
  for (Py_ssize_t k = 0; k < given; ++k) slots[static_cast<std::size_t>(k)] = PyTuple_GetItem(positional, k);
  if (keywords != nullptr) bind_keywords(function, keywords, slots);

  std::vector<const char*> missing;
  for (std::size_t p = static_cast<std::size_t>(given); p < kParameterCount; ++p) {
    if (slots[p] == nullptr) missing.push_back(function.parameters[p]);
  }
  if (!missing.empty()) {
    raise(PyExc_TypeError, std::string(function.name) + "() missing " + std::to_string(missing.size()) +
                               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                               quoted_name_list(missing));
  }
  return slots;
}

}  // namespace tolva::py

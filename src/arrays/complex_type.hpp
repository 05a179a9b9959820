// The DirectedFlagComplex type of the module.
#pragma once

#include "arrays/python.hpp"

namespace tolva::arrays {

// A new reference to a new heap type; throws PythonError.
Ref create_complex_type(PyObject* module_name);

}  // namespace tolva::arrays

// The interpreter helpers shared with the tolva module (owning references, raising), under
// this module's namespace.
#pragma once

#include "lib/python.hpp"

namespace tolva::arrays {

using py::PythonError;
using py::raise;
using py::Ref;
using py::str_of;
using py::throw_python_error;
using py::type_name_of;
using py::utf8_of;

}  // namespace tolva::arrays

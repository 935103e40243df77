// Discovery of a method's dependencies: the `self.<name>()` calls read from its source.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "py_ref.h"

namespace kestrine {

// A declared or discovered dependency: method name and keyword arguments.
struct DependencySpec {
    std::string method_name;
    Ref kwargs;  // a dict
};

// Reads `func`'s source and returns every `self.<name>()` call, each name once, in the
// order first seen. Returns false with an exception set.
bool discover_dependencies(PyObject* func, std::vector<DependencySpec>& out);

}  // namespace kestrine

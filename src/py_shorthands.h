// Shorthands returning owned references for the units that call into the interpreter's own
// modules: a str from text, a module import, an attribute lookup and a one-argument call.
#pragma once

#include <Python.h>

#include <string_view>

#include "py_ref.h"

namespace kestrine {

inline Ref new_str(std::string_view text) {
    return Ref::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Imported on every use: the interpreter's module cache makes it cheap, and a static cache
// would be shared mutable state across threads and interpreters.
inline Ref import_module(const char* name) {
    Ref module_name = Ref::steal(PyUnicode_FromString(name));
    if (!module_name) return {};
    return Ref::steal(PyImport_Import(module_name.get()));
}

inline Ref get_attr(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

inline Ref call_attr(PyObject* obj, const char* name, PyObject* arg) {
    Ref callable = get_attr(obj, name);
    if (!callable) return {};
    return Ref::steal(PyObject_CallOneArg(callable.get(), arg));
}

}  // namespace kestrine

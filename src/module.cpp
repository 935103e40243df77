// Module definition and initialisation, the type registry, the argument-binding rules and
// the error helpers shared by every unit.
#include "module.h"

#include <atomic>
#include <string>

#include "decorator.h"
#include "errors.h"
#include "kestrine_base.h"
#include "wait_hook.h"

namespace kestrine {

// ---------------------------------------------------------------------------------------
// Errors

std::string type_mismatch_message(PyObject* value, const char* expected) {
    if (value == Py_None) return std::string("'None' is not an instance of '") + expected + "'";
    std::string type_name = "?";
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    if (qualname) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
        if (text) type_name.assign(text, size);
    }
    PyErr_Clear();
    return "'" + type_name + "' object is not an instance of '" + expected + "'";
}

void raise_type_mismatch(PyObject* value, const char* expected) {
    PyErr_SetString(PyExc_TypeError, type_mismatch_message(value, expected).c_str());
}

void add_note_to_current(const char* note) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref text = Ref::steal(PyUnicode_FromString(note));
    Ref result;
    if (text) result = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
    // A failure to add the note must not replace the exception being reported.
    if (!result) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

void add_processing_note(const char* parameter) {
    std::string note = std::string("while processing '") + parameter + "'";
    add_note_to_current(note.c_str());
}

int convert_bool(PyObject* value) {
    if (value == Py_True) return 1;
    if (value == Py_False) return 0;
    // NumPy's boolean scalar, recognised by name so that NumPy need not be imported. The type
    // is held: reading __module__ may run a metaclass's code, which may reassign
    // `value.__class__` and drop the last reference to this type.
    Ref type_ref = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
    Ref module = Ref::steal(PyObject_GetAttrString(type_ref.get(), "__module__"));
    Ref name;
    if (module) name = Ref::steal(PyType_GetName(type));
    PyErr_Clear();
    if (module && name && PyUnicode_Check(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
        (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
        return PyObject_IsTrue(value);
    }
    raise_type_mismatch(value, "bool");
    return -1;
}

bool view_text(PyObject* value, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        raise_type_mismatch(value, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (!text) return false;
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

bool convert_text(PyObject* value, std::string& out) {
    std::string_view view;
    if (!view_text(value, view)) return false;
    out.assign(view);
    return true;
}

// ---------------------------------------------------------------------------------------
// Argument binding

namespace {

const char* was_or_were(Py_ssize_t n) {
    return n == 1 ? "was" : "were";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_names(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

bool raise_too_many_positional(const ParamSpec& spec, Py_ssize_t given) {
    if (spec.required == spec.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                     spec.full_name, spec.count, given, was_or_were(given));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %d to %d positional arguments but %zd %s given", spec.full_name,
                     spec.required, spec.count, given, was_or_were(given));
    }
    return false;
}

// Matches one keyword to a parameter; returns false with an exception set.
bool bind_keyword(const ParamSpec& spec, PyObject* name, PyObject* value, BoundArgs& out,
                  bool& positional_only_by_keyword) {
    if (PyUnicode_Check(name)) {
        for (int i = 0; i < spec.count; ++i) {
            if (PyUnicode_CompareWithASCIIString(name, spec.names[i]) != 0) continue;
            if (out.values[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             spec.full_name, spec.names[i]);
                return false;
            }
            out.values[i] = Ref::borrow(value);
            return true;
        }
    }
    if (spec.var_keyword) {
        if (!out.extra_keywords) {
            out.extra_keywords = Ref::steal(PyDict_New());
            if (!out.extra_keywords) return false;
        }
        return PyDict_SetItem(out.extra_keywords.get(), name, value) == 0;
    }
    if (spec.positional_only_name && PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, spec.positional_only_name) == 0) {
        positional_only_by_keyword = true;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.full_name,
                 name);
    return false;
}

bool bind_positionals(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                      BoundArgs& out) {
    if (nargs > spec.count) return raise_too_many_positional(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = Ref::borrow(args[i]);
    return true;
}

bool finish_binding(const ParamSpec& spec, bool positional_only_by_keyword, BoundArgs& out) {
    if (positional_only_by_keyword) {
        PyErr_Format(PyExc_TypeError,
                     "%s got some positional-only arguments passed as keyword arguments: '%s'",
                     spec.full_name, spec.positional_only_name);
        return false;
    }
    std::vector<const char*> missing;
    for (int i = 0; i < spec.required; ++i)
        if (!out.values[i]) missing.push_back(spec.names[i]);
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", spec.full_name,
                     missing.size(), missing.size() == 1 ? "argument" : "arguments",
                     join_names(missing).c_str());
        return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(const ParamSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (!bind_positionals(spec, args ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, out))
        return false;
    bool positional_only_by_keyword = false;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        // Snapshot the items under the dict's lock, then match them without it.
        Ref items = Ref::steal(PyDict_Items(kwargs));
        if (!items) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (!bind_keyword(spec, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), out,
                              positional_only_by_keyword))
                return false;
        }
    }
    return finish_binding(spec, positional_only_by_keyword, out);
}

bool bind_fastcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, BoundArgs& out) {
    if (!bind_positionals(spec, args, nargs, out)) return false;
    bool positional_only_by_keyword = false;
    if (kwnames) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (!bind_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out,
                              positional_only_by_keyword))
                return false;
        }
    }
    return finish_binding(spec, positional_only_by_keyword, out);
}

// ---------------------------------------------------------------------------------------
// Type registry

namespace {

// One type object per process. PyMutex detaches the thread while it waits, so a creator
// that triggers a stop-the-world collection cannot deadlock with a waiter.
struct TypeSlot {
    std::atomic<PyTypeObject*> type{nullptr};
    PyMutex mutex{};
};

PyTypeObject* get_or_create(TypeSlot& slot, PyType_Spec* (*spec)(),
                            bool (*finish)(PyTypeObject*) = nullptr) {
    PyTypeObject* type = slot.type.load(std::memory_order_acquire);
    if (type) return type;
    PyMutex_Lock(&slot.mutex);
    type = slot.type.load(std::memory_order_relaxed);
    if (!type) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec()));
        if (type && finish && !finish(type)) Py_CLEAR(type);
        // The reference is kept for the life of the process.
        if (type) slot.type.store(type, std::memory_order_release);
    }
    PyMutex_Unlock(&slot.mutex);
    return type;
}

// The vectorcall offset is declared as a member, which would otherwise show as an
// attribute of every decorated method. Nothing else can see the type yet.
bool hide_vectorcall_offset(PyTypeObject* type) {
    PyObject* dict = type->tp_dict;
    if (PyDict_DelItemString(dict, "__vectorcalloffset__") < 0) return false;
    PyType_Modified(type);
    return true;
}

TypeSlot base_slot, kestrined_slot, automagically_slot, decorator_slot, cache_info_slot;

PyStructSequence_Field cache_info_fields[] = {
    {"hits", "calls answered from the cache"},
    {"misses", "calls that computed their value"},
    {"maxsize", "the bound on stored values, or None"},
    {"currsize", "values stored now"},
    {nullptr, nullptr},
};
PyStructSequence_Desc cache_info_desc = {
    "kestrine.CacheInfo", "Hits, misses, bound and stored values of a decorated method.",
    cache_info_fields, 4};

}  // namespace

PyTypeObject* cache_info_type() {
    PyTypeObject* type = cache_info_slot.type.load(std::memory_order_acquire);
    if (type) return type;
    PyMutex_Lock(&cache_info_slot.mutex);
    type = cache_info_slot.type.load(std::memory_order_relaxed);
    if (!type) {
        type = PyStructSequence_NewType(&cache_info_desc);
        // The reference is kept for the life of the process.
        if (type) cache_info_slot.type.store(type, std::memory_order_release);
    }
    PyMutex_Unlock(&cache_info_slot.mutex);
    return type;
}

PyTypeObject* kestrine_base_type() {
    return get_or_create(base_slot, kestrine_base_spec);
}
PyTypeObject* kestrined_type() {
    return get_or_create(kestrined_slot, kestrined_spec);
}
PyTypeObject* automagically_kestrined_type() {
    return get_or_create(automagically_slot, automagically_kestrined_spec);
}
PyTypeObject* kestrine_decorator_type() {
    return get_or_create(decorator_slot, kestrine_decorator_spec, hide_vectorcall_offset);
}
PyTypeObject* kestrine_base_type_if_ready() {
    return base_slot.type.load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------------------
// Module

namespace {

// Writes through the module's dict with fresh, uninterned name strings: setting attributes
// by name would intern the names, and two threads executing the module at once would then
// race inside the interpreter's interning of the same names.
bool add_class(PyObject* module, const char* name, PyTypeObject* (*get_type)()) {
    PyTypeObject* type = get_type();
    if (!type) return false;
    PyObject* namespace_ = PyModule_GetDict(module);  // borrowed: the module holds it
    Ref all_name = Ref::steal(PyUnicode_FromString("__all__"));
    if (!all_name) return false;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(namespace_, all_name.get(), &found) < 0) return false;
    Ref all = Ref::steal(found);
    if (!all) {
        all = Ref::steal(PyList_New(0));
        if (!all || PyDict_SetItem(namespace_, all_name.get(), all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        raise_type_mismatch(all.get(), "list");
        return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyDict_SetItem(namespace_, text.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        raise_type_mismatch(module, "module");
        return -1;
    }
    // The type objects are process-wide; sharing them with another interpreter would let
    // objects of one interpreter reach another.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "kestrine can only be imported in the main interpreter");
        return -1;
    }
    if (!add_class(module, "KestrineBase", kestrine_base_type)) return -1;
    if (!add_class(module, "kestrined", kestrined_type)) return -1;
    if (!add_class(module, "automagically_kestrined", automagically_kestrined_type)) return -1;
    if (!add_class(module, "CacheInfo", cache_info_type)) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

#ifdef KESTRINE_WAIT_HOOKS
PyMethodDef module_methods[] = {wait_hook_method, {nullptr, nullptr, 0, nullptr}};
#else
PyMethodDef* const module_methods = nullptr;
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kestrine", "",      0,       module_methods,
    module_slots,          nullptr,    nullptr, nullptr,
};

}  // namespace

}  // namespace kestrine

PyMODINIT_FUNC PyInit_kestrine() {
    return PyModuleDef_Init(&kestrine::module_def);
}

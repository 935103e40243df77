// The serialisable signature check and the refusal of generator and coroutine functions.
// Both go through the interpreter's own `inspect`; nothing is cached between calls.
#include "function_checks.h"

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.h"
#include "py_ref.h"
#include "py_shorthands.h"

namespace kestrine {
namespace {

// Appends `text` as a double-quoted string, escaping quotes and backslashes.
void append_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

}  // namespace

bool check_serialisable_signature(PyObject* func) {
    Ref inspect = import_module("inspect");
    if (!inspect) return false;
    Ref builtins = import_module("builtins");
    if (!builtins) return false;
    Ref signature = call_attr(inspect.get(), "signature", func);
    if (!signature) return false;
    Ref parameters = get_attr(signature.get(), "parameters");
    if (!parameters) return false;
    Ref parameter_list = call_attr(builtins.get(), "list", parameters.get());
    if (!parameter_list) return false;

    std::vector<std::string> names;
    Ref items = Ref::steal(PyObject_GetIter(parameter_list.get()));
    if (!items) return false;
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        std::string name;
        if (!convert_text(item.get(), name)) return false;
        names.push_back(std::move(name));
    }
    if (PyErr_Occurred()) return false;
    if (names.size() == 1 && names[0] == "self") return true;

    std::string message =
        "Serialisable method must have exactly one parameter named 'self', got: [";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) message += ", ";
        append_quoted(message, names[i]);
    }
    message += "]";
    // Built from the text with its length: a name may hold a NUL.
    Ref message_str = new_str(message);
    if (!message_str) return false;
    PyErr_SetObject(PyExc_ValueError, message_str.get());
    return false;
}

bool check_memoisable_function(PyObject* func, PyObject* name) {
    struct Kind {
        const char* test;
        const char* what;
        const char* spent;
    };
    static constexpr Kind kinds[] = {
        {"isgeneratorfunction", "generator", "exhausted"},
        {"iscoroutinefunction", "coroutine", "awaited"},
        {"isasyncgenfunction", "asynchronous generator", "exhausted"},
    };
    Ref inspect = import_module("inspect");
    if (!inspect) return false;
    for (const Kind& kind : kinds) {
        Ref verdict = call_attr(inspect.get(), kind.test, func);
        if (!verdict) return false;
        int is_kind = PyObject_IsTrue(verdict.get());
        if (is_kind < 0) return false;
        if (is_kind == 0) continue;
        PyErr_Format(PyExc_TypeError,
                     "Cannot memoise %s function '%U': its %s would be stored and reused once %s",
                     kind.what, name, kind.what, kind.spent);
        return false;
    }
    return true;
}

}  // namespace kestrine

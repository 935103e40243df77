// Error helpers shared by every unit: the type-mismatch error, notes, and conversions
// of arguments at the Python boundary.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrine {

// TypeError "'{}' object is not an instance of '{}'" (qualified type name of `value`,
// then `expected`), or "'None' is not an instance of '{}'" when `value` is None.
void raise_type_mismatch(PyObject* value, const char* expected);

// Adds `note` to the exception currently set (through its add_note method). If adding the
// note fails, the original exception stays set.
void add_note_to_current(const char* note);

// Adds the note "while processing '{}'" naming `parameter` to the current exception.
void add_processing_note(const char* parameter);

// A bool, or NumPy's boolean scalar (its truth value). Anything else raises the type
// mismatch naming `bool`. Returns -1 on error, else 0 or 1.
int convert_bool(PyObject* value);

// A str (or subclass) as UTF-8 text; anything else raises the type mismatch naming `str`.
// Encoding errors (lone surrogates) propagate. Returns false on error.
bool convert_text(PyObject* value, std::string& out);
// As convert_text, but views the str's own UTF-8 buffer (valid while `value` lives).
bool view_text(PyObject* value, std::string_view& out);

// "'{}' object is not an instance of '{}'" formatting, shared with messages that embed it.
std::string type_mismatch_message(PyObject* value, const char* expected);

// Wraps an entry point called by the interpreter so that a failed native allocation
// anywhere below it reaches Python as MemoryError instead of terminating the process:
// `guarded<function>` has the function's signature. Everything below an entry point keeps
// the state it guards consistent when an allocation throws (see CacheState).
template <auto Function>
struct Guarded;

template <typename Result, typename... Args, Result (*Function)(Args...)>
struct Guarded<Function> {
    static Result call(Args... args) noexcept {
        try {
            return Function(args...);
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        PyErr_NoMemory();
        if constexpr (std::is_pointer_v<Result>) {
            return nullptr;
        } else {
            return Result(-1);
        }
    }
};

template <auto Function>
inline constexpr auto guarded = &Guarded<Function>::call;

}  // namespace kestrine

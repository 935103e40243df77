// Error helpers shared by every unit: the type-mismatch error, notes, and conversions
// of arguments at the Python boundary.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

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

}  // namespace kestrine

// Raising exceptions, the "being handled" state of an except block, and the
// boundary that keeps C++ exceptions out of the interpreter.
#pragma once

#include "ref.h"

#include <cstddef>
#include <utility>

namespace qrl {

// Raises `type` with `message`; always returns nullptr for `return raise(...)`.
std::nullptr_t raise(PyObject* type, const char* message);
inline std::nullptr_t value_error(const char* message) { return raise(PyExc_ValueError, message); }

// While alive, the exception it was given is "being handled" (as inside an
// except block): exceptions raised meanwhile get it as their __context__.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exception);
    ~HandlingScope();
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    PyObject* previous_;
};

// Takes the raised exception (new reference) and clears the error indicator.
Ref fetch_exception();
// Raises again an exception taken with fetch_exception.
void restore_exception(Ref exception);

// Adds a note (PEP 678) to the exception being raised, which stays raised;
// the command line shows it after the message. The note is made by
// `make_note` (returning a new str, or null) while no exception is set; if
// making or adding it fails, the original exception is raised alone.
bool add_note_to(PyObject* exception, PyObject* note);
template <typename MakeNote>
void add_note(MakeNote make_note) {
    Ref error = fetch_exception();
    Ref note = make_note();
    if (!note || !add_note_to(error.get(), note.get())) PyErr_Clear();
    restore_exception(std::move(error));
}

// Raises the Python exception for the C++ exception being handled.
void raise_for_current_cxx_exception() noexcept;

// Runs `body` and turns a C++ exception that escapes it into a Python one
// (std::bad_alloc into MemoryError, anything else into SystemError), so that
// none ever unwinds into the interpreter. Every entry point from Python
// (function calls, module execution) goes through here.
template <typename Result, typename Body>
Result without_cxx_exceptions(Body&& body, Result failed) noexcept {
    try {
        return body();
    } catch (...) {
        raise_for_current_cxx_exception();
        return failed;
    }
}

}  // namespace qrl

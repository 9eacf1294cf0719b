// Exceptions: raising, the handled-exception scope, and the C++ boundary.
#include "errors.h"

#include <exception>
#include <new>

namespace qrl {

std::nullptr_t raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}

HandlingScope::HandlingScope(PyObject* exception) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exception);
}

HandlingScope::~HandlingScope() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return steal(value);
#endif
}

void restore_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

bool add_note_to(PyObject* exception, PyObject* note) {
    Ref name = intern("add_note");
    return name && steal(PyObject_CallMethodOneArg(exception, name.get(), note));
}

void raise_for_current_cxx_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

}  // namespace qrl

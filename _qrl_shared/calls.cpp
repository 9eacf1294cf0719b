// Name lookup, calls, comparisons and unpacking.
#include "calls.h"

#include "function.h"

namespace qrl {

int dict_lookup(PyObject* dict, PyObject* key, Ref& out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(dict, key, &value);
    out = steal(value);
    return found;
#else
    // With the GIL held nothing can change the dict between the lookup and
    // the new reference.
    PyObject* value = PyDict_GetItemWithError(dict, key);
    out = borrow(value);
    return value ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

Ref dict_get(PyObject* dict, PyObject* key) {
    Ref value;
    const int found = dict_lookup(dict, key, value);
    if (found < 0) return {};
    return found ? value : borrow(Py_None);
}

Ref global(PyObject* globals, PyObject* name) {
    Ref value;
    int found = dict_lookup(globals, name, value);
    if (found) return value;  // found, or an error raised
#if PY_VERSION_HEX >= 0x030D0000
    Ref builtins = steal(PyEval_GetFrameBuiltins());
#else
    Ref builtins = borrow(PyEval_GetBuiltins());
#endif
    if (!builtins) return {};
    found = dict_lookup(builtins.get(), name, value);
    if (found) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref getattr(PyObject* obj, PyObject* name) { return steal(PyObject_GetAttr(obj, name)); }

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    PyObject* argv[kMaxParams + 1];
    size_t n = 0;
    argv[n++] = nullptr;
    for (PyObject* arg : args) {
        if (n == kMaxParams + 1) {
            PyErr_SetString(PyExc_SystemError, "too many arguments for call_kw");
            return {};
        }
        argv[n++] = arg;
    }
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    const size_t npositional = (n - 1) - nkw;
    return steal(PyObject_Vectorcall(callable, argv + 1, npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Ref method = getattr(obj, name);
    return method ? call_kw(method.get(), args, kwnames) : Ref();
}

int truth(const Ref& obj) { return obj ? PyObject_IsTrue(obj.get()) : -1; }

int compare(PyObject* a, PyObject* b, int op) { return truth(steal(PyObject_RichCompare(a, b, op))); }

namespace {

void raise_need_more(Py_ssize_t index) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", index, index == 1 ? "" : "s");
}

void raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

// The items of an exact tuple or list of the expected size, as strong
// references; the caller holds the list's critical section.
bool unpack_sequence(PyObject* seq, std::span<Ref> out) {
    const Py_ssize_t expected = static_cast<Py_ssize_t>(out.size());
    const Py_ssize_t size = Py_SIZE(seq);
    if (size != expected) {
        if (size > expected) {
            raise_too_many(expected);
        } else {
            raise_need_more(size);
        }
        return false;
    }
    PyObject** items = PySequence_Fast_ITEMS(seq);
    for (Py_ssize_t i = 0; i < expected; ++i) out[i] = borrow(items[i]);
    return true;
}

bool unpack_iterable(PyObject* obj, std::span<Ref> out) {
    const Py_ssize_t expected = static_cast<Py_ssize_t>(out.size());
    Ref iterator = steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    for (Py_ssize_t i = 0; i < expected; ++i) {
        out[i] = steal(PyIter_Next(iterator.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) raise_need_more(i);
            return false;
        }
    }
    if (steal(PyIter_Next(iterator.get()))) {
        raise_too_many(expected);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

bool unpack(PyObject* obj, std::span<Ref> out) {
    if (PyTuple_CheckExact(obj)) return unpack_sequence(obj, out);
    if (PyList_CheckExact(obj)) {
        CriticalSection section(obj);
        return unpack_sequence(obj, out);
    }
    return unpack_iterable(obj, out);
}

}  // namespace qrl

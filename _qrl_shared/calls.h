// Looking names up and calling objects as Python code does: module globals
// with the builtins behind them, attributes, calls with and without keywords,
// truth values, comparisons and two-target unpacking.
#pragma once

#include "ref.h"

#include <initializer_list>
#include <span>

namespace qrl {

// Looks up a module global as Python code does: the module dict, then the
// builtins; NameError when neither has it.
Ref global(PyObject* globals, PyObject* name);

Ref getattr(PyObject* obj, PyObject* name);

// dict.get(key) for an exact dict: a strong reference (None when missing),
// taken so that another thread changing the dict cannot free it under us.
Ref dict_get(PyObject* dict, PyObject* key);
// 1 and `out` set when the dict has `key`, 0 when not, -1 on error.
int dict_lookup(PyObject* dict, PyObject* key, Ref& out);
// dict[key] = value; false on error, also for a null value (an error
// already raised), so a line can store what the previous step made.
inline bool dict_set(PyObject* dict, PyObject* key, const Ref& value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call(PyObject* callable) { return steal(PyObject_CallNoArgs(callable)); }

// Calls with positional arguments followed by keyword arguments whose names
// are the tuple `kwnames` (interned strings).
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames);

template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args, **kw), with the keyword names last in `args` as in call_kw.
Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames);

// Calls the module global `name` (looked up at call time).
template <typename... Args>
Ref call_global(PyObject* globals, PyObject* name, Args... args) {
    Ref fn = global(globals, name);
    return fn ? call(fn.get(), args...) : Ref();
}

// Looks up global `module_name`, then its attribute `attr_name`, and calls it.
template <typename... Args>
Ref call_global_attr(PyObject* globals, PyObject* module_name, PyObject* attr_name, Args... args) {
    Ref mod = global(globals, module_name);
    Ref fn = mod ? getattr(mod.get(), attr_name) : Ref();
    return fn ? call(fn.get(), args...) : Ref();
}

// Truth value of a new reference; -1 on error (also when `obj` is null).
int truth(const Ref& obj);

// Python rich comparison as a C truth value; -1 on error.
int compare(PyObject* a, PyObject* b, int op);

// Unpacking into exactly out.size() targets, with the messages of compiled
// Python code: "need more than N value(s) to unpack", "too many values to
// unpack (expected N)". A list is read under its critical section, so
// another thread changing it gives one consistent state, never freed items.
bool unpack(PyObject* obj, std::span<Ref> out);

}  // namespace qrl

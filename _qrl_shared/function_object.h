// The layout of the library's function objects, shared by the type
// (function_type.cpp) and the argument binder (arguments.cpp).
//
// What a call reads (spec, parameter names, defaults, globals, state) is
// fixed when the object is made. The introspection attributes that Python
// code may replace (__name__, __qualname__, __module__, __doc__,
// __annotations__) are read and written only under the object's critical
// section, so that another thread replacing one never frees it under a
// reader.
#pragma once

#include "function.h"

namespace qrl {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    const void* state;
    int nparams;
    int nrequired;  // the leading parameters without a default
    PyObject* params[kMaxParams];    // interned parameter names
    PyObject* defaults[kMaxParams];  // default values (null: required)
    PyObject* globals;
    // Replaceable; under the critical section.
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

inline FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

// A strong reference to one of the replaceable fields, taken under the
// object's critical section.
Ref read_field(FunctionObject* fn, PyObject* FunctionObject::*field);

// Binds vectorcall arguments into `call` and runs the body.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace qrl

// The library's function type: a callable with vectorcall and the
// introspection attributes of Python functions (__name__, __qualname__,
// __module__, __doc__, __annotations__, __defaults__, __signature__). It
// binds to instances like a Python function, so it also serves as a method.
#include "calls.h"
#include "function_object.h"
#include "runtime.h"

#include <cstddef>
#include <structmember.h>

namespace qrl {

Ref read_field(FunctionObject* fn, PyObject* FunctionObject::*field) {
    CriticalSection section(reinterpret_cast<PyObject*>(fn));
    return borrow(fn->*field);
}

namespace {

// Replaces a field under the critical section; the old value is released
// after it, since releasing it may run arbitrary code.
void replace_field(FunctionObject* fn, PyObject* FunctionObject::*field, PyObject* value) {
    Ref old;
    {
        CriticalSection section(reinterpret_cast<PyObject*>(fn));
        old = steal(fn->*field);
        fn->*field = Py_XNewRef(value);
    }
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->globals);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    for (int i = 0; i < fn->nparams; ++i) Py_VISIT(fn->defaults[i]);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    for (int i = 0; i < fn->nparams; ++i) Py_CLEAR(fn->defaults[i]);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    for (int i = 0; i < fn->nparams; ++i) Py_CLEAR(fn->params[i]);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    Ref qualname = read_field(as_function(self), &FunctionObject::qualname);
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// Binds to an instance like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) { return read_field(as_function(self), &FunctionObject::name).release(); }
PyObject* get_qualname(PyObject* self, void*) {
    return read_field(as_function(self), &FunctionObject::qualname).release();
}
// None once the object was cleared by the garbage collector.
PyObject* or_none(Ref value) { return value ? value.release() : Py_NewRef(Py_None); }
PyObject* get_module(PyObject* self, void*) { return or_none(read_field(as_function(self), &FunctionObject::module)); }
PyObject* get_doc(PyObject* self, void*) { return or_none(read_field(as_function(self), &FunctionObject::doc)); }

int set_text(PyObject* self, PyObject* FunctionObject::*field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    replace_field(as_function(self), field, value);
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) { return set_text(self, &FunctionObject::name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(self, &FunctionObject::qualname, value, "__qualname__");
}

// __module__ and __doc__ take any object; deleting one leaves None, as the
// members they used to be did (reading a deleted one gave None).
int set_any(PyObject* self, PyObject* FunctionObject::*field, PyObject* value) {
    replace_field(as_function(self), field, value ? value : Py_None);
    return 0;
}
int set_module(PyObject* self, PyObject* value, void*) { return set_any(self, &FunctionObject::module, value); }
int set_doc(PyObject* self, PyObject* value, void*) { return set_any(self, &FunctionObject::doc, value); }

// The annotations dict, made on first access after it was cleared (once,
// even when several threads ask at the same time).
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    CriticalSection section(self);
    if (!fn->annotations) fn->annotations = PyDict_New();
    return Py_XNewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace_field(as_function(self), &FunctionObject::annotations, value);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    const int count = fn->nparams - fn->nrequired;
    if (count == 0) Py_RETURN_NONE;
    PyObject* tuple = PyTuple_New(count);
    if (!tuple) return nullptr;
    for (int i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(fn->defaults[fn->nrequired + i]));
    return tuple;
}

// annotations[key], or inspect.Parameter.empty when it has none.
Ref annotation_or_empty(PyObject* annotations, PyObject* key, PyObject* empty) {
    Ref value;
    const int found = dict_lookup(annotations, key, value);
    if (found < 0) return {};
    return found ? value : borrow(empty);
}

// inspect.Signature of the declared parameters, built on each access.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    Ref parameter = inspect ? getattr(inspect.get(), runtime().names.Parameter.get()) : Ref();
    Ref signature = parameter ? getattr(inspect.get(), runtime().names.Signature.get()) : Ref();
    Ref kind = signature ? steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD")) : Ref();
    Ref empty = kind ? steal(PyObject_GetAttrString(parameter.get(), "empty")) : Ref();
    Ref annotations = empty ? steal(get_annotations(self, nullptr)) : Ref();
    Ref params = annotations ? steal(PyList_New(0)) : Ref();
    Ref kwnames = params ? steal(Py_BuildValue("(ss)", "default", "annotation")) : Ref();
    if (!kwnames) return nullptr;
    for (int i = 0; i < fn->nparams; ++i) {
        PyObject* dflt = fn->defaults[i] ? fn->defaults[i] : empty.get();
        Ref annotation = annotation_or_empty(annotations.get(), fn->params[i], empty.get());
        Ref param = annotation ? call_kw(parameter.get(), {fn->params[i], kind.get(), dflt, annotation.get()},
                                         kwnames.get())
                               : Ref();
        if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    Ref return_key = steal(PyUnicode_FromString("return"));
    Ref ret = return_key ? annotation_or_empty(annotations.get(), return_key.get(), empty.get()) : Ref();
    Ref ret_kw = ret ? steal(Py_BuildValue("(s)", "return_annotation")) : Ref();
    if (!ret_kw) return nullptr;
    return call_kw(signature.get(), {params.get(), ret.get()}, ret_kw.get()).release();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "_qrl_shared.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref make_default(const Param& param) {
    switch (param.default_kind) {
    case Default::Required:
        return {};
    case Default::None:
        return borrow(Py_None);
    case Default::True:
        return borrow(Py_True);
    case Default::False:
        return borrow(Py_False);
    case Default::Int:
        return steal(PyLong_FromLong(param.default_int));
    }
    return {};
}

Ref make_annotations(const FunctionSpec& spec) {
    Ref annotations = steal(PyDict_New());
    if (!annotations) return {};
    for (const Param& param : spec.params) {
        if (!param.name || !param.annotation) continue;
        Ref text = steal(PyUnicode_FromString(param.annotation));
        Ref key = intern(param.name);
        if (!text || !key || PyDict_SetItem(annotations.get(), key.get(), text.get()) < 0) return {};
    }
    if (spec.return_annotation) {
        Ref text = steal(PyUnicode_FromString(spec.return_annotation));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return {};
    }
    return annotations;
}

// The parameters and defaults of `spec`; false with SystemError when the
// table is inconsistent (a required parameter after a default, or a body
// that takes another number of arguments).
bool set_parameters(FunctionObject* fn, const FunctionSpec& spec) {
    bool seen_default = false;
    for (const Param& param : spec.params) {
        if (!param.name) break;
        const int index = fn->nparams++;
        fn->params[index] = intern(param.name).release();
        if (!fn->params[index]) return false;
        fn->defaults[index] = make_default(param).release();
        if (param.default_kind == Default::Required) {
            if (seen_default) {
                PyErr_Format(PyExc_SystemError, "%s: a required parameter follows one with a default", spec.name);
                return false;
            }
            fn->nrequired = index + 1;
        } else {
            if (!fn->defaults[index]) return false;
            seen_default = true;
        }
    }
    if (spec.impl.arity != fn->nparams) {
        PyErr_Format(PyExc_SystemError, "%s declares %d parameters but its body takes %d", spec.name, fn->nparams,
                     spec.impl.arity);
        return false;
    }
    return true;
}

}  // namespace

PyTypeObject* create_function_type(PyObject* runtime_module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(runtime_module, &function_spec, nullptr));
}

Ref make_function(const FunctionSpec& spec, PyObject* module, const void* state) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed from the module
    Ref module_name = steal(PyModule_GetNameObject(module));
    if (!globals || !module_name) return {};

    Ref obj = steal(PyType_GenericAlloc(runtime().function_type, 0));
    if (!obj) return {};
    FunctionObject* fn = as_function(obj.get());
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->state = state;
    fn->globals = Py_NewRef(globals);
    fn->module = module_name.release();
    fn->name = intern(spec.name).release();
    fn->qualname = intern(spec.qualname ? spec.qualname : spec.name).release();
    fn->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    if (!fn->name || !fn->qualname || !fn->doc || !set_parameters(fn, spec)) return {};
    fn->annotations = make_annotations(spec).release();
    if (!fn->annotations) return {};
    return obj;
}

bool add_function(PyObject* module, const FunctionSpec& spec, const void* state) {
    Ref fn = make_function(spec, module, state);
    return fn && PyModule_AddObjectRef(module, spec.name, fn.get()) == 0;
}

}  // namespace qrl

// The library's function type: a callable with vectorcall, positional-or-
// keyword parameters, argument checks on entry, and the introspection
// attributes of Python functions (__name__, __qualname__, __module__,
// __doc__, __annotations__, __defaults__, __signature__). It binds to
// instances like a Python function, so it also serves as a method.
#include "qrl.h"
#include "runtime.h"

#include <cstddef>
#include <structmember.h>

namespace qrl {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    int nparams;
    int nrequired;  // the leading parameters without a default
    PyObject* params[kMaxParams];    // interned parameter names
    PyObject* defaults[kMaxParams];  // default values (null: required)
    PyObject* globals;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

// ---- Argument errors, worded as the interpreter words them for Python functions

void too_many_positional(FunctionObject* fn, Py_ssize_t given) {
    const int defaults = fn->nparams - fn->nrequired;
    Ref sig = defaults ? steal(PyUnicode_FromFormat("from %d to %d", fn->nrequired, fn->nparams))
                       : steal(PyUnicode_FromFormat("%d", fn->nparams));
    if (!sig) return;
    const bool plural = defaults ? true : fn->nparams != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", fn->qualname, sig.get(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void missing_arguments(FunctionObject* fn, PyObject* const* slots) {
    Ref names = steal(PyList_New(0));
    if (!names) return;
    for (int i = 0; i < fn->nrequired; ++i) {
        if (slots[i]) continue;
        Ref repr = steal(PyObject_Repr(fn->params[i]));
        if (!repr || PyList_Append(names.get(), repr.get()) < 0) return;
    }
    const Py_ssize_t count = PyList_GET_SIZE(names.get());
    Ref listed;
    if (count == 1) {
        listed = borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (count == 2) {
        listed = steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), count - 2),
                                              PyList_GET_ITEM(names.get(), count - 1)));
        if (!tail || PyList_SetSlice(names.get(), count - 2, count, nullptr) < 0) return;
        Ref comma = steal(PyUnicode_FromString(", "));
        if (!comma) return;
        Ref head = steal(PyUnicode_Join(comma.get(), names.get()));
        if (!head) return;
        listed = steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!listed) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", fn->qualname, count,
                 count == 1 ? "" : "s", listed.get());
}

// From 3.13 on, the interpreter suggests the closest parameter name.
void unexpected_keyword(FunctionObject* fn, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    Ref suggestion;
    Ref candidates = steal(PyList_New(fn->nparams));
    if (candidates) {
        for (int i = 0; i < fn->nparams; ++i) PyList_SET_ITEM(candidates.get(), i, Py_NewRef(fn->params[i]));
        Ref module = steal(PyImport_ImportModule("_suggestions"));
        Ref generate = module ? steal(PyObject_GetAttrString(module.get(), "_generate_suggestions")) : Ref();
        suggestion = generate ? call(generate.get(), candidates.get(), key) : Ref();
    }
    PyErr_Clear();  // no suggestion is not an error
    if (suggestion && suggestion.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     fn->qualname, key, suggestion.get());
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname, key);
}

void bad_argument(FunctionObject* fn, int index, const char* expected, PyObject* arg) {
    PyErr_Format(PyExc_TypeError, "%U() argument '%U' must be %s, not %.50s", fn->qualname, fn->params[index],
                 expected, arg == Py_None ? "None" : _PyType_Name(Py_TYPE(arg)));
}

// Checks one argument of an exact type, optionally None.
bool check_exact(FunctionObject* fn, int index, PyObject* arg, PyTypeObject* type, bool or_none) {
    if (Py_IS_TYPE(arg, type) || (or_none && arg == Py_None)) return true;
    char expected[64];
    PyOS_snprintf(expected, sizeof expected, "%s%s", type->tp_name, or_none ? " or None" : "");
    bad_argument(fn, index, expected, arg);
    return false;
}

}  // namespace

// Fills a Call from vectorcall arguments: binding, defaults, then the checks
// and conversions of each parameter in declaration order.
struct FunctionAccess {
    static bool bind(FunctionObject* fn, Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject** slots = call.args_;
        const int nparams = fn->nparams;
        const Py_ssize_t npositional = nargs < nparams ? nargs : nparams;
        for (Py_ssize_t i = 0; i < npositional; ++i) slots[i] = args[i];

        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                const int index = find_param(fn, key);
                if (index == -2) return false;
                if (index < 0) {
                    unexpected_keyword(fn, key);
                    return false;
                }
                if (slots[index]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
                    return false;
                }
                slots[index] = args[nargs + k];
            }
        }
        if (nargs > nparams) {
            too_many_positional(fn, nargs);
            return false;
        }
        for (int i = static_cast<int>(nargs); i < fn->nrequired; ++i) {
            if (!slots[i]) {
                missing_arguments(fn, slots);
                return false;
            }
        }
        for (int i = fn->nrequired; i < nparams; ++i) {
            if (!slots[i]) slots[i] = fn->defaults[i];
        }
        for (int i = 0; i < nparams; ++i) {
            if (!convert(fn, call, i)) return false;
        }
        return true;
    }

    // Index of the parameter called `key`, -1 if none, -2 on error.
    static int find_param(FunctionObject* fn, PyObject* key) {
        for (int i = 0; i < fn->nparams; ++i) {
            if (fn->params[i] == key) return i;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
            return -2;
        }
        for (int i = 0; i < fn->nparams; ++i) {
            const int eq = PyUnicode_Compare(fn->params[i], key);
            if (eq == 0) return i;
            if (eq == -1 && PyErr_Occurred()) return -2;
        }
        return -1;
    }

    static bool convert(FunctionObject* fn, Call& call, int i) {
        PyObject* arg = call.args_[i];
        switch (fn->spec->params[i].kind) {
        case Arg::Any:
            return true;
        case Arg::Bytes:
            return check_exact(fn, i, arg, &PyBytes_Type, false);
        case Arg::Str:
            return check_exact(fn, i, arg, &PyUnicode_Type, false);
        case Arg::Dict:
            return check_exact(fn, i, arg, &PyDict_Type, false);
        case Arg::BytesOrNone:
            return check_exact(fn, i, arg, &PyBytes_Type, true);
        case Arg::StrOrNone:
            return check_exact(fn, i, arg, &PyUnicode_Type, true);
        case Arg::DictOrNone:
            return check_exact(fn, i, arg, &PyDict_Type, true);
        case Arg::Int: {
            if (PyLong_CheckExact(arg)) return true;
            if (!PyNumber_Check(arg)) {
                bad_argument(fn, i, "int", arg);
                return false;
            }
            Ref value = steal(PyNumber_Long(arg));
            if (!value) return false;
            call.args_[i] = value.get();
            call.owned_[i] = std::move(value);
            return true;
        }
        case Arg::Bool: {
            const int truth = PyObject_IsTrue(arg);
            if (truth < 0) return false;
            call.args_[i] = truth ? Py_True : Py_False;
            return true;
        }
        }
        return true;
    }

    static PyObject* globals(const Call& call) { return as_function(call.function_)->globals; }
    static void set_function(Call& call, PyObject* fn) { call.function_ = fn; }
};

PyObject* Call::globals() const noexcept { return FunctionAccess::globals(*this); }

namespace {

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* fn = as_function(callable);
    Call call;
    FunctionAccess::set_function(call, callable);
    if (!FunctionAccess::bind(fn, call, args, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
    return fn->spec->impl(call);
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
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Binds to an instance like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) { return set_text(&as_function(self)->name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (!fn->annotations) {
        fn->annotations = PyDict_New();
        if (!fn->annotations) return nullptr;
    }
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
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

// inspect.Signature of the declared parameters, built on each access.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter || !signature) return nullptr;
    Ref kind = steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref empty = steal(PyObject_GetAttrString(parameter.get(), "empty"));
    if (!kind || !empty) return nullptr;
    Ref annotations = steal(get_annotations(self, nullptr));
    if (!annotations) return nullptr;
    Ref params = steal(PyList_New(0));
    if (!params) return nullptr;
    Ref kwnames = steal(Py_BuildValue("(ss)", "default", "annotation"));
    if (!kwnames) return nullptr;
    for (int i = 0; i < fn->nparams; ++i) {
        PyObject* dflt = fn->defaults[i] ? fn->defaults[i] : empty.get();
        PyObject* annotation = PyDict_GetItemWithError(annotations.get(), fn->params[i]);
        if (!annotation && PyErr_Occurred()) return nullptr;
        Ref param = call_kw(parameter.get(), {fn->params[i], kind.get(), dflt, annotation ? annotation : empty.get()},
                            kwnames.get());
        if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    Ref return_key = steal(PyUnicode_FromString("return"));
    if (!return_key) return nullptr;
    PyObject* ret = PyDict_GetItemWithError(annotations.get(), return_key.get());
    if (!ret && PyErr_Occurred()) return nullptr;
    Ref ret_kw = steal(Py_BuildValue("(s)", "return_annotation"));
    if (!ret_kw) return nullptr;
    return call_kw(signature.get(), {params.get(), ret ? ret : empty.get()}, ret_kw.get()).release();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
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

}  // namespace

bool init_function_type(PyObject* runtime_module) {
    if (function_type) return true;
    PyObject* type = PyType_FromModuleAndSpec(runtime_module, &function_spec, nullptr);
    if (!type) return false;
    function_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    return PyModule_AddObjectRef(runtime_module, "function", type) == 0;
}

bool is_function(PyObject* obj) { return function_type && Py_IS_TYPE(obj, function_type); }

Ref make_function(const FunctionSpec& spec, PyObject* module) {
    if (!function_type) {
        PyErr_SetString(PyExc_ImportError, "the _qrl_shared runtime is not initialised");
        return {};
    }
    PyObject* globals = PyModule_GetDict(module);  // borrowed from the module
    Ref module_name = steal(PyModule_GetNameObject(module));
    if (!globals || !module_name) return {};

    Ref obj = steal(PyType_GenericAlloc(function_type, 0));
    if (!obj) return {};
    FunctionObject* fn = as_function(obj.get());
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->globals = Py_NewRef(globals);
    fn->module = module_name.release();
    fn->name = intern(spec.name).release();
    fn->qualname = intern(spec.qualname ? spec.qualname : spec.name).release();
    fn->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    if (!fn->name || !fn->qualname || !fn->doc) return {};

    bool seen_default = false;
    for (const Param& param : spec.params) {
        if (!param.name) break;
        const int index = fn->nparams++;
        fn->params[index] = intern(param.name).release();
        if (!fn->params[index]) return {};
        fn->defaults[index] = make_default(param).release();
        if (param.default_kind == Default::Required) {
            if (seen_default) {
                PyErr_Format(PyExc_SystemError, "%s: a required parameter follows one with a default", spec.name);
                return {};
            }
            fn->nrequired = index + 1;
        } else {
            if (!fn->defaults[index]) return {};
            seen_default = true;
        }
    }
    fn->annotations = make_annotations(spec).release();
    if (!fn->annotations) return {};
    return obj;
}

bool add_function(PyObject* module, const FunctionSpec& spec) {
    Ref fn = make_function(spec, module);
    return fn && PyModule_AddObjectRef(module, spec.name, fn.get()) == 0;
}

}  // namespace qrl

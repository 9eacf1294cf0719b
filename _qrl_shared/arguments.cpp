// Binding the arguments of a call: positional and keyword arguments into the
// declared parameters, defaults, then the check and conversion of each
// argument in declaration order. Errors are worded as the interpreter words
// them for Python functions.
#include "calls.h"
#include "errors.h"
#include "function_object.h"
#include "runtime.h"

namespace qrl {

namespace {

Ref qualname_of(FunctionObject* fn) { return read_field(fn, &FunctionObject::qualname); }

void too_many_positional(FunctionObject* fn, Py_ssize_t given) {
    const int defaults = fn->nparams - fn->nrequired;
    Ref sig = defaults ? steal(PyUnicode_FromFormat("from %d to %d", fn->nrequired, fn->nparams))
                       : steal(PyUnicode_FromFormat("%d", fn->nparams));
    Ref qualname = qualname_of(fn);
    if (!sig || !qualname) return;
    const bool plural = defaults ? true : fn->nparams != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", qualname.get(), sig.get(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'" or "'a', 'b', and 'c'".
Ref listed_names(PyObject* names) {
    const Py_ssize_t count = PyList_GET_SIZE(names);
    if (count == 1) return borrow(PyList_GET_ITEM(names, 0));
    if (count == 2) return steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0), PyList_GET_ITEM(names, 1)));
    Ref tail = steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names, count - 2),
                                          PyList_GET_ITEM(names, count - 1)));
    if (!tail || PyList_SetSlice(names, count - 2, count, nullptr) < 0) return {};
    Ref comma = steal(PyUnicode_FromString(", "));
    Ref head = comma ? steal(PyUnicode_Join(comma.get(), names)) : Ref();
    return head ? steal(PyUnicode_Concat(head.get(), tail.get())) : Ref();
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
    Ref listed = listed_names(names.get());
    Ref qualname = listed ? qualname_of(fn) : Ref();
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", qualname.get(), count,
                 count == 1 ? "" : "s", listed.get());
}

// The interpreter's "Did you mean ...?" for an unknown keyword (3.13 on).
Ref suggested_keyword(FunctionObject* fn, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    Ref candidates = steal(PyList_New(fn->nparams));
    if (!candidates) return {};
    for (int i = 0; i < fn->nparams; ++i) PyList_SET_ITEM(candidates.get(), i, Py_NewRef(fn->params[i]));
    const RuntimeNames& names = runtime().names;
    Ref module = steal(PyImport_Import(names._suggestions.get()));
    Ref generate = module ? getattr(module.get(), names._generate_suggestions.get()) : Ref();
    Ref suggestion = generate ? call(generate.get(), candidates.get(), key) : Ref();
    return suggestion && suggestion.get() != Py_None ? suggestion : Ref();
#else
    (void)fn;
    (void)key;
    return {};
#endif
}

void unexpected_keyword(FunctionObject* fn, PyObject* key) {
    Ref suggestion = suggested_keyword(fn, key);
    PyErr_Clear();  // no suggestion is not an error
    Ref qualname = qualname_of(fn);
    if (!qualname) return;
    if (suggestion) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     qualname.get(), key, suggestion.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname.get(), key);
    }
}

void bad_argument(FunctionObject* fn, int index, const char* expected, PyObject* arg) {
    Ref qualname = qualname_of(fn);
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "%U() argument '%U' must be %s, not %.50s", qualname.get(), fn->params[index],
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

// Index of the parameter called `key`, -1 if none, -2 on error.
int find_param(FunctionObject* fn, PyObject* key) {
    for (int i = 0; i < fn->nparams; ++i) {
        if (fn->params[i] == key) return i;
    }
    if (!PyUnicode_Check(key)) {
        Ref qualname = qualname_of(fn);
        if (qualname) PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", qualname.get());
        return -2;
    }
    for (int i = 0; i < fn->nparams; ++i) {
        const int eq = PyUnicode_Compare(fn->params[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

}  // namespace

struct FunctionAccess {
    static bool bind(FunctionObject* fn, Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject** slots = call.args_;
        const int nparams = fn->nparams;
        const Py_ssize_t npositional = nargs < nparams ? nargs : nparams;
        for (Py_ssize_t i = 0; i < npositional; ++i) slots[i] = args[i];
        if (kwnames && !bind_keywords(fn, slots, args + nargs, kwnames)) return false;
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

    static bool bind_keywords(FunctionObject* fn, PyObject** slots, PyObject* const* values, PyObject* kwnames) {
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
                Ref qualname = qualname_of(fn);
                if (qualname)
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname.get(), key);
                return false;
            }
            slots[index] = values[k];
        }
        return true;
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
        case Arg::Int:
            return convert_int(fn, call, i);
        case Arg::Bool: {
            const int truth = PyObject_IsTrue(arg);
            if (truth < 0) return false;
            call.args_[i] = truth ? Py_True : Py_False;
            return true;
        }
        }
        return true;
    }

    static bool convert_int(FunctionObject* fn, Call& call, int i) {
        PyObject* arg = call.args_[i];
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

    static PyObject* globals(const Call& call) { return as_function(call.function_)->globals; }
    static const void* state(const Call& call) { return as_function(call.function_)->state; }
    static void set_function(Call& call, PyObject* fn) { call.function_ = fn; }
};

PyObject* Call::globals() const noexcept { return FunctionAccess::globals(*this); }
const void* Call::module_state() const noexcept { return FunctionAccess::state(*this); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return without_cxx_exceptions(
        [&]() -> PyObject* {
            FunctionObject* fn = as_function(callable);
            Call call;
            FunctionAccess::set_function(call, callable);
            if (!FunctionAccess::bind(fn, call, args, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
            return fn->spec->impl.run(call);
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace qrl

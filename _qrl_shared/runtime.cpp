// Shared runtime helpers: module definitions with the once-per-process guard,
// globals, calls, imports, unpacking, exceptions and integer conversions.
#include "qrl.h"
#include "runtime.h"

#include <type_traits>

namespace qrl {

Ref intern(const char* text) { return steal(PyUnicode_InternFromString(text)); }

// ---------------------------------------------------------------------------
// Modules

static_assert(std::is_standard_layout_v<ModuleDefinition>, "def_ must be reachable from the PyModuleDef");

ModuleDefinition::ModuleDefinition(const char* qualified_name, const char* short_name, const char* doc,
                                   ModuleBody body)
    : def_{PyModuleDef_HEAD_INIT, qualified_name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
      slots_{},
      short_name_(short_name),
      body_(body) {
    int i = 0;
    slots_[i++] = {Py_mod_create, reinterpret_cast<void*>(&ModuleDefinition::create)};
    slots_[i++] = {Py_mod_exec, nullptr};  // set by init()
#ifdef Py_mod_gil
    slots_[i++] = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
    slots_[i] = {0, nullptr};
    def_.m_slots = slots_;
}

PyObject* ModuleDefinition::init(int (*exec_slot)(PyObject*)) {
    slots_[1].value = reinterpret_cast<void*>(exec_slot);
    return PyModuleDef_Init(&def_);
}

ModuleDefinition* ModuleDefinition::from_def(PyModuleDef* def) {
    // def_ is the first member of a standard-layout class.
    return reinterpret_cast<ModuleDefinition*>(def);
}

PyObject* ModuleDefinition::create(PyObject* spec, PyModuleDef* def) {
    ModuleDefinition* self = from_def(def);
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (self->interpreter_ == -1) {
        self->interpreter_ = current;
    } else if (self->interpreter_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (self->module_) return Py_NewRef(self->module_);
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int ModuleDefinition::exec(PyObject* module) {
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", short_name_);
        return -1;
    }
    module_ = Py_NewRef(module);
    if (body_(module) < 0) {
        Py_CLEAR(module_);
        return -1;
    }
    return 0;
}

Ref import_into(PyObject* module, const char* name) {
    Ref imported = steal(PyImport_ImportModule(name));
    if (!imported || PyModule_AddObjectRef(module, name, imported.get()) < 0) return {};
    return imported;
}

bool bind(PyObject* module, const char* name, Ref value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

bool require_runtime() { return static_cast<bool>(steal(PyImport_ImportModule("_qrl_shared"))); }

Ref import_module(PyObject* globals, const char* module, PyObject* fromlist, int level) {
    Ref name = steal(PyUnicode_FromString(module));
    if (!name) return {};
    return steal(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist, level));
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref value = steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    // A submodule not yet bound as an attribute, as the import statement allows.
    Ref package = steal(PyModule_GetNameObject(module));
    if (!package) return {};
    Ref full = steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
    if (!full) return {};
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = PyDict_GetItemWithError(modules, full.get());
    if (found) return borrow(found);
    if (PyErr_Occurred()) return {};
    Ref path = steal(PyModule_GetFilenameObject(module));
    if (!path) PyErr_Clear();
    Ref message = path ? steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, package.get(), path.get()))
                       : steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                    package.get()));
    if (message) PyErr_SetImportError(message.get(), package.get(), path.get());
    return {};
}

bool import_names(PyObject* globals, const char* module, std::initializer_list<PyObject*> from, std::span<Ref> out,
                  int level) {
    Ref fromlist = steal(PyTuple_New(static_cast<Py_ssize_t>(from.size())));
    if (!fromlist) return false;
    Py_ssize_t index = 0;
    for (PyObject* name : from) PyTuple_SET_ITEM(fromlist.get(), index++, Py_NewRef(name));
    Ref imported = import_module(globals, module, fromlist.get(), level);
    if (!imported) return false;
    std::size_t slot = 0;
    for (PyObject* name : from) {
        out[slot] = import_from(imported.get(), name);
        if (!out[slot++]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Globals and calls

Ref global(PyObject* globals, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found < 0) return {};
    if (found) return steal(value);
    PyObject* builtins = PyEval_GetFrameBuiltins();
    if (!builtins) return {};
    found = PyDict_GetItemRef(builtins, name, &value);
    Py_DECREF(builtins);
    if (found < 0) return {};
    if (found) return steal(value);
#else
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value) return borrow(value);
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();
    value = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (value) return borrow(value);
    if (PyErr_Occurred()) return {};
#endif
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

bool global_is(PyObject* globals, PyObject* name, PyObject* original) {
    // Only the address is compared, so a borrowed lookup is enough.
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return value == original;
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

int truth(const Ref& obj) { return obj ? PyObject_IsTrue(obj.get()) : -1; }

int compare(PyObject* a, PyObject* b, int op) {
    Ref result = steal(PyObject_RichCompare(a, b, op));
    return truth(result);
}

// ---------------------------------------------------------------------------
// Unpacking

namespace {

void raise_need_more(Py_ssize_t index) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", index, index == 1 ? "" : "s");
}

void raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

}  // namespace

bool unpack(PyObject* obj, std::span<Ref> out) {
    const Py_ssize_t expected = static_cast<Py_ssize_t>(out.size());
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t size = Py_SIZE(obj);
        if (size != expected) {
            if (size > expected) {
                raise_too_many(expected);
            } else {
                raise_need_more(size);
            }
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < expected; ++i) out[i] = borrow(items[i]);
        return true;
    }
    Ref iterator = steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    for (Py_ssize_t i = 0; i < expected; ++i) {
        out[i] = steal(PyIter_Next(iterator.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) raise_need_more(i);
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(iterator.get()));
    if (extra) {
        raise_too_many(expected);
        return false;
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------
// Exceptions

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

// ---------------------------------------------------------------------------
// Integers and bytes

Ref bytes_from(std::span<const std::uint8_t> data) {
    return steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
}

Ref bytes_from(std::string_view text) {
    return steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool int_to_be32(PyObject* value, std::uint8_t out[32]) {
    if (!PyLong_CheckExact(value) || _PyLong_Sign(value) < 0) return false;
    const size_t bits = _PyLong_NumBits(value);
    if (bits == static_cast<size_t>(-1)) {
        PyErr_Clear();
        return false;
    }
    if (bits > 256) return false;
#if PY_VERSION_HEX >= 0x030D0000
    const int rc = _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, 32, 0, 0, 1);
#else
    const int rc = _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), out, 32, 0, 0);
#endif
    if (rc < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

Ref int_from_be(std::span<const std::uint8_t> data) {
    return steal(_PyLong_FromByteArray(data.data(), data.size(), 0, 0));
}

Ref int_from_long(long value) { return steal(PyLong_FromLong(value)); }

Ref small_int(long value) { return steal(PyLong_FromLong(value)); }

// The names of the int methods called at run time, interned once. A name
// made from a C string on every call would be a new object each time, and
// the interpreter's attribute cache, which keeps the name objects it is
// given, would hold thousands of them.
namespace {
struct IntMethodNames {
    PyObject* from_bytes;
    PyObject* to_bytes;
    PyObject* big;
    PyObject* realpath;
    PyObject* exists;
    PyObject* samefile;
};
IntMethodNames int_method_names;
}  // namespace

bool init_runtime_names() {
    int_method_names.from_bytes = intern("from_bytes").release();
    int_method_names.to_bytes = intern("to_bytes").release();
    int_method_names.big = intern("big").release();
    int_method_names.realpath = intern("realpath").release();
    int_method_names.exists = intern("exists").release();
    int_method_names.samefile = intern("samefile").release();
    return !PyErr_Occurred();
}

int same_file(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    Ref path_a = steal(PyOS_FSPath(a));
    Ref path_b = path_a ? steal(PyOS_FSPath(b)) : Ref();
    if (!path_b) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref os_path = steal(PyImport_ImportModule("os.path"));
    if (!os_path) return -1;
    const IntMethodNames& n = int_method_names;
    Ref real_a = call_method(os_path.get(), n.realpath, path_a.get());
    Ref real_b = real_a ? call_method(os_path.get(), n.realpath, path_b.get()) : Ref();
    const int equal = cmp(real_a, real_b, Py_EQ);
    if (equal != 0) return equal;
    const int a_exists = truth(call_method(os_path.get(), n.exists, path_a.get()));
    if (a_exists <= 0) return a_exists;
    const int b_exists = truth(call_method(os_path.get(), n.exists, path_b.get()));
    if (b_exists <= 0) return b_exists;
    return truth(call_method(os_path.get(), n.samefile, path_a.get(), path_b.get()));
}

Ref int_from_bytes_big(PyObject* data) {
    if (!data) return {};
    if (PyBytes_CheckExact(data)) return int_from_be(bytes_view(data));
    return call_method(reinterpret_cast<PyObject*>(&PyLong_Type), int_method_names.from_bytes, data,
                       int_method_names.big);
}

Ref int_to_bytes_big(PyObject* value, Py_ssize_t length) {
    if (!value) return {};
    Ref size = steal(PyLong_FromSsize_t(length));
    return size ? call_method(value, int_method_names.to_bytes, size.get(), int_method_names.big) : Ref();
}

}  // namespace qrl

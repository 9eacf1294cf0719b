// Module definitions with the once-per-process guard, and imports.
#include "module.h"

#include "calls.h"

namespace qrl {

ModuleDefinition::ModuleDefinition(const char* qualified_name, const char* short_name, const char* doc)
    : def_{PyModuleDef_HEAD_INIT, qualified_name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
      slots_{},
      short_name_(short_name) {}

PyObject* ModuleDefinition::init(PyObject* (*create_slot)(PyObject*, PyModuleDef*), int (*exec_slot)(PyObject*)) {
    int i = 0;
    slots_[i++] = {Py_mod_create, reinterpret_cast<void*>(create_slot)};
    slots_[i++] = {Py_mod_exec, reinterpret_cast<void*>(exec_slot)};
#ifdef Py_mod_gil
    slots_[i++] = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
    slots_[i] = {0, nullptr};
    def_.m_slots = slots_;
    return PyModuleDef_Init(&def_);
}

PyObject* ModuleDefinition::create(PyObject* spec) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    std::int64_t first = -1;
    if (!interpreter_.compare_exchange_strong(first, current) && first != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (PyObject* existing = module_.load(std::memory_order_acquire)) return Py_NewRef(existing);
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

// Two loads of the module under different names may run at the same time on
// a free-threaded build: the first to claim it runs the body, the other gets
// the re-initialisation error. A failed body leaves it unclaimed, so that a
// later import can try again, as for a Python module.
int ModuleDefinition::exec(PyObject* module) {
    PyObject* owner = nullptr;
    if (!claimed_.compare_exchange_strong(owner, module)) {
        if (owner == module) return 0;  // the same module object, imported again
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name_);
        return -1;
    }
    if (!run(module)) {
        claimed_.store(nullptr);
        return -1;
    }
    module_.store(Py_NewRef(module), std::memory_order_release);  // kept for the life of the process
    return 0;
}

bool require_runtime() { return static_cast<bool>(steal(PyImport_ImportModule("_qrl_shared"))); }

Ref import_into(PyObject* module, const char* name) {
    Ref imported = steal(PyImport_ImportModule(name));
    if (!imported || PyModule_AddObjectRef(module, name, imported.get()) < 0) return {};
    return imported;
}

bool bind(PyObject* module, const char* name, Ref value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

bool add_functions(PyObject* module, std::span<const FunctionSpec* const> specs, const void* state) {
    for (const FunctionSpec* spec : specs) {
        if (!add_function(module, *spec, state)) return false;
    }
    return true;
}

bool add_functions(PyObject* module, std::initializer_list<const FunctionSpec*> specs, const void* state) {
    return add_functions(module, std::span(specs.begin(), specs.size()), state);
}

bool bind_file_logger(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    Ref file_name = intern("__file__");
    Ref logging = file_name ? intern("logging") : Ref();
    Ref get_logger = logging ? intern("getLogger") : Ref();
    Ref file = get_logger ? global(globals, file_name.get()) : Ref();
    Ref logger = file ? call_global_attr(globals, logging.get(), get_logger.get(), file.get()) : Ref();
    return bind(module, "logger", logger);
}

namespace {

Ref import_module(PyObject* globals, const char* module, PyObject* fromlist, int level) {
    Ref name = intern(module);  // one object per name, however often it is imported
    if (!name) return {};
    return steal(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist, level));
}

// `from module import name`: the attribute, or a submodule of that name not
// yet bound as an attribute (as the import statement allows).
Ref import_from(PyObject* module, PyObject* name) {
    Ref value = steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref package = steal(PyModule_GetNameObject(module));
    if (!package) return {};
    Ref full = steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
    if (!full) return {};
    Ref found = steal(PyImport_GetModule(full.get()));
    if (found || PyErr_Occurred()) return found;
    Ref path = steal(PyModule_GetFilenameObject(module));
    if (!path) PyErr_Clear();
    Ref message = path ? steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, package.get(), path.get()))
                       : steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                    package.get()));
    if (message) PyErr_SetImportError(message.get(), package.get(), path.get());
    return {};
}

}  // namespace

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

}  // namespace qrl

// The _qrl_shared module: the runtime that the package's modules import
// first. It owns the function type that all their functions share.
#include "module.h"
#include "runtime.h"

namespace qrl {

namespace {

bool init_names(RuntimeNames& names) {
    names.from_bytes = intern("from_bytes");
    names.to_bytes = intern("to_bytes");
    names.big = intern("big");
    names.realpath = intern("realpath");
    names.exists = intern("exists");
    names.samefile = intern("samefile");
    names.Parameter = intern("Parameter");
    names.Signature = intern("Signature");
    names._suggestions = intern("_suggestions");
    names._generate_suggestions = intern("_generate_suggestions");
    names.kw_strict_mode = steal(Py_BuildValue("(s)", "strict_mode"));
    return !PyErr_Occurred();
}

bool exec_runtime(PyObject* module, Runtime& state) {
    if (!init_names(state.names)) return false;
    state.function_type = create_function_type(module);  // kept for the life of the process
    return state.function_type && PyModule_AddObjectRef(module, "function",
                                                        reinterpret_cast<PyObject*>(state.function_type)) == 0;
}

Module<Runtime> definition("_qrl_shared", "_qrl_shared", "Shared runtime of the quarlopro extension modules.",
                           exec_runtime);

}  // namespace

const Runtime& runtime() { return definition.state(); }

}  // namespace qrl

PyMODINIT_FUNC PyInit__qrl_shared(void) { return qrl::module_init<qrl::definition>(); }

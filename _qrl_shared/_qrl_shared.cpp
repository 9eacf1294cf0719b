// The _qrl_shared module: the runtime that the package's modules import
// first. It owns the function type that all their functions share.
#include "qrl.h"
#include "runtime.h"

namespace {

int exec_runtime(PyObject* module) { return qrl::init_runtime_names() && qrl::init_base64_originals() && qrl::init_function_type(module) ? 0 : -1; }

qrl::ModuleDefinition definition("_qrl_shared", "_qrl_shared", "Shared runtime of the quarlopro extension modules.",
                                 exec_runtime);

}  // namespace

PyMODINIT_FUNC PyInit__qrl_shared(void) { return qrl::module_init<definition>(); }

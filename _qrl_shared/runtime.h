// Internal to the shared runtime: set-up done by the _qrl_shared module.
#pragma once

#include "qrl.h"

namespace qrl {

// Creates the function type once per process and binds it in the runtime
// module as `function`.
bool init_function_type(PyObject* runtime_module);

}  // namespace qrl

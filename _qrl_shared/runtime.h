// Internal to the shared runtime: set-up done by the _qrl_shared module.
#pragma once

#include "qrl.h"

namespace qrl {

// Creates the function type once per process and binds it in the runtime
// module as `function`.
bool init_function_type(PyObject* runtime_module);

// Remembers the standard base64 module and what its functions rely on.
bool init_base64_originals();

// Interns the names that the runtime's helpers call methods by.
bool init_runtime_names();

}  // namespace qrl

// The state of the runtime module `_qrl_shared`: what the shared glue itself
// needs at call time, made once when the runtime is imported (every module
// of the library imports it first) and read-only afterwards.
#pragma once

#include "ref.h"

namespace qrl {

// Names the glue calls methods and passes keywords by, interned once: a name
// made from a C string on every call would be a new object each time, and
// the interpreter's attribute cache, which keeps the name objects it is
// given, would hold thousands of them.
struct RuntimeNames {
    Ref from_bytes, to_bytes, big;           // int.from_bytes / to_bytes
    Ref realpath, exists, samefile;          // os.path
    Ref Parameter, Signature;                // inspect
    Ref _suggestions, _generate_suggestions;  // the interpreter's "Did you mean" (3.13+)
    Ref kw_strict_mode;                      // ("strict_mode",)
};

struct Runtime {
    PyTypeObject* function_type = nullptr;  // the type of every library function
    RuntimeNames names;
};

// The runtime's state; valid once `_qrl_shared` has been imported.
const Runtime& runtime();

}  // namespace qrl

// The shared extension runtime: C++ glue over the CPython C API used by every
// module of the library. No cryptography lives here.
//
//  ref.h        owning references, critical sections, releasing the GIL
//  errors.h     raising, the handled-exception scope, the C++ exception boundary
//  calls.h      globals, attributes, calls, comparisons, unpacking
//  numbers.h    arithmetic on objects, ints and bytes
//  function.h   module functions: parameters, argument checks, named bodies
//  module.h     module definitions, module state, imports
//  originals.h  routes: "are these still the objects bound at import?"
//  base64.h     the standard base64 functions, directly while untouched
//  files.h      whether two paths name the same file
#pragma once

#include "base64.h"
#include "calls.h"
#include "errors.h"
#include "files.h"
#include "function.h"
#include "module.h"
#include "numbers.h"
#include "originals.h"
#include "ref.h"

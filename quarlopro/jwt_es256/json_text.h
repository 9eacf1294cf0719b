// The canonical JSON of plain data, written here instead of by json's C
// encoder when that encoder is the one the module found at import.
#pragma once

#include "state.h"

namespace jwt {

// The bytes json.dumps(value, separators=(",", ":"), sort_keys=True)
// .encode("utf-8") gives with the standard encoder, for values made only of
// exact dicts with str keys, lists, tuples, str, int, finite float, True,
// False and None, nested at most a few dozen levels. Null, with no error
// set, for anything else: the caller then takes json's own route, which
// also raises json's own errors.
Ref canonical_json_of_plain_data(PyObject* value);

}  // namespace jwt

// Whether two path arguments name the same file.
#pragma once

#include "ref.h"

namespace qrl {

// 1 when `a` and `b` name the same file: the same object, the same path once
// resolved (os.path.realpath), or the same existing file (os.path.samefile,
// which also sees hard links); objects that are not paths only match
// themselves. 0 otherwise, -1 on error.
int same_file(PyObject* a, PyObject* b);

}  // namespace qrl

// Comparing path arguments through os.path.
#include "files.h"

#include "calls.h"
#include "numbers.h"
#include "runtime.h"

namespace qrl {

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
    const RuntimeNames& n = runtime().names;
    Ref real_a = call_method(os_path.get(), n.realpath.get(), path_a.get());
    Ref real_b = real_a ? call_method(os_path.get(), n.realpath.get(), path_b.get()) : Ref();
    const int equal = cmp(real_a, real_b, Py_EQ);
    if (equal != 0) return equal;
    const int a_exists = truth(call_method(os_path.get(), n.exists.get(), path_a.get()));
    if (a_exists <= 0) return a_exists;
    const int b_exists = truth(call_method(os_path.get(), n.exists.get(), path_b.get()));
    if (b_exists <= 0) return b_exists;
    return truth(call_method(os_path.get(), n.samefile.get(), path_a.get(), path_b.get()));
}

}  // namespace qrl

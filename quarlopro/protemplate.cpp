// quarlopro.protemplate: the two Cython texts from which a build renders the
// runtime verification module of the built program.
//
// The texts live in quarlopro/templates/ as real Cython files and reach this
// unit byte for byte through the generated header. The module holds exactly
// two attributes of its own, both str:
//   proBootstrapPxdTemplate  the declaration file, used unrendered;
//   proBootstrapTemplate     the code, a Cython.Tempita template with the
//                            one variable `runtimeJwtPublic`.
#include "protemplate_texts.h"
#include "qrl.h"

namespace {

// A str made of the embedded bytes (the template files are ASCII; a stray
// non-UTF-8 byte fails the import instead of being replaced).
qrl::Ref text_from(const char* data, std::size_t size) {
    return qrl::steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict"));
}

bool exec_protemplate(PyObject* module, qrl::NoState&) {
    return qrl::bind(module, "proBootstrapPxdTemplate",
                     text_from(kText_pro_bootstrap_pxd, kText_pro_bootstrap_pxd_size)) &&
           qrl::bind(module, "proBootstrapTemplate", text_from(kText_pro_bootstrap_pyx, kText_pro_bootstrap_pyx_size));
}

qrl::Module<qrl::NoState> definition("quarlopro.protemplate", "protemplate",
                                     "Declaration text and code template of the runtime verification module.",
                                     exec_protemplate);

}  // namespace

PyMODINIT_FUNC PyInit_protemplate(void) { return qrl::module_init<definition>(); }

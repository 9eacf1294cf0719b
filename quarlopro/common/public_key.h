// Shared by the modules that read a PEM public key file (main's build hook
// and license's show command).
#pragma once

#include "qrl.h"

namespace common {

// public_key_xy_from_jwk(der_spki_ec_to_jwk(pem_public_key_to_der(path.read_text()))),
// with the three functions as the caller imported them.
qrl::Ref public_point_of_pem_file(PyObject* path, PyObject* pem_public_key_to_der, PyObject* der_spki_ec_to_jwk,
                                  PyObject* public_key_xy_from_jwk);

}  // namespace common

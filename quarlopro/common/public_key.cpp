// A PEM public key file to its point.
#include "public_key.h"

namespace common {

qrl::Ref public_point_of_pem_file(PyObject* path, PyObject* pem_public_key_to_der, PyObject* der_spki_ec_to_jwk,
                                  PyObject* public_key_xy_from_jwk) {
    qrl::Ref read_text = qrl::intern("read_text");
    qrl::Ref pem = read_text ? qrl::call_method(path, read_text.get()) : qrl::Ref();
    qrl::Ref der = pem ? qrl::call(pem_public_key_to_der, pem.get()) : qrl::Ref();
    qrl::Ref jwk = der ? qrl::call(der_spki_ec_to_jwk, der.get()) : qrl::Ref();
    return jwk ? qrl::call(public_key_xy_from_jwk, jwk.get()) : qrl::Ref();
}

}  // namespace common

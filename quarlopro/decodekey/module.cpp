// quarlopro.decodekey: EC keys on P-256, P-384 and P-521 between PEM, DER and
// JSON Web Key form, with no cryptographic library.
//
// The DER reader and writer work natively over the bytes (der/); Base64 and
// the removal of whitespace go through the module's `base64` and `re`. PEM
// blocks are found natively while `re` is as the module found it (the
// pattern's answer in linear time), and with `re.search` otherwise.
//
// This file holds the entries (the checked arguments of a call handed to the
// algorithms), the module table and what the module makes at import.
#include "curves.h"
#include "elements.h"
#include "keys.h"
#include "pem.h"

namespace decodekey {

namespace {

using qrl::Arg;
using qrl::Default;

PyObject* b64u_entry(qrl::Call& call, PyObject* b) { return b64u_native(call, b).release(); }

PyObject* b64u_decode_entry(qrl::Call& call, PyObject* s) { return b64u_decode_native(call, s).release(); }

PyObject* read_tlv_entry(qrl::Call&, PyObject* data, PyObject* i) {
    Tlv tlv;
    if (!read_tlv_native(qrl::bytes_view(data), i, tlv)) return nullptr;
    return PyTuple_Pack(3, tlv.tag.get(), tlv.value.get(), tlv.next.get());
}

PyObject* der_spki_ec_to_jwk_entry(qrl::Call& call, PyObject* der, PyObject* kid) {
    return der_spki_ec_to_jwk_native(call, der, kid).release();
}

PyObject* pem_public_key_to_der_entry(qrl::Call& call, PyObject* pem_text) {
    return pem_public_key_to_der_native(call, pem_text).release();
}

PyObject* pem_private_key_to_der_entry(qrl::Call& call, PyObject* pem_text) {
    return pem_private_key_to_der_native(call, pem_text).release();
}

PyObject* parse_oid_entry(qrl::Call&, PyObject* der_oid) { return parse_oid(qrl::bytes_view(der_oid)).release(); }

PyObject* curve_name_from_oid_entry(qrl::Call& call, PyObject* oid_der) {
    return curve_name_from_oid_native(call, oid_der).release();
}

PyObject* curve_size_from_name_entry(qrl::Call& call, PyObject* curve_name) {
    return curve_size_from_name_native(call, curve_name).release();
}

PyObject* sec1_to_jwk_entry(qrl::Call& call, PyObject* ec_der, PyObject* curve_name, PyObject* kid) {
    return sec1_to_jwk_native(call, ec_der, curve_name, kid).release();
}

PyObject* der_ec_private_key_to_jwk_entry(qrl::Call& call, PyObject* der, PyObject* kid) {
    return der_ec_private_key_to_jwk_native(call, der, kid).release();
}

PyObject* pem_private_key_to_jwk_entry(qrl::Call& call, PyObject* pem_text, PyObject* kid) {
    Ref der = pem_private_key_to_der(call, pem_text);
    return der ? der_ec_private_key_to_jwk(call, der.get(), kid).release() : nullptr;
}

PyObject* der_len_entry(qrl::Call&, PyObject* length) { return der_len_native(length).release(); }

PyObject* der_tlv_entry(qrl::Call& call, PyObject* tag, PyObject* value) {
    int overflow = 0;
    const long octet = PyLong_AsLongAndOverflow(tag, &overflow);
    if (octet == -1 && PyErr_Occurred()) return nullptr;
    if (overflow || octet < 0 || octet > 0xFF) return byte_out_of_range().release();
    return der_tlv_native(call, static_cast<std::uint8_t>(octet), value).release();
}

PyObject* pem_armor_entry(qrl::Call& call, PyObject* label, PyObject* der) {
    return pem_armor_native(call, label, der).release();
}

PyObject* jwk_public_key_to_pem_entry(qrl::Call& call, PyObject* jwk) {
    return jwk_public_key_to_pem_native(call, jwk).release();
}

PyObject* jwk_private_key_to_pem_entry(qrl::Call& call, PyObject* jwk) {
    return jwk_private_key_to_pem_native(call, jwk).release();
}

// A JWK with a "d" member (whatever its value) is a private key.
PyObject* jwk_to_pem_entry(qrl::Call& call, PyObject* jwk) {
    const int has_d = PyDict_Contains(jwk, state(call).names.d);
    if (has_d < 0) return nullptr;
    return (has_d ? jwk_private_key_to_pem(call, jwk) : jwk_public_key_to_pem(call, jwk)).release();
}

constexpr qrl::Param kKidParam{.name = "kid", .kind = Arg::StrOrNone, .annotation = "str | None", .default_kind = Default::None};

// In the order the module defines them.
const qrl::FunctionSpec kSpecs[] = {
    {
        .name = "_b64u",
        .doc = "Encode bytes as Base64url text without padding.",
        .params = {{.name = "b", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "str",
        .impl = qrl::impl<b64u_entry>,
    },
    {
        .name = "_b64u_decode",
        .doc = "Decode Base64url text, padded or not, to bytes.",
        .params = {{.name = "s", .kind = Arg::Str, .annotation = "str"}},
        .return_annotation = "bytes",
        .impl = qrl::impl<b64u_decode_entry>,
    },
    {
        .name = "_read_tlv",
        .doc = "Read one DER element at index i: (tag, value, next index).",
        .params = {{.name = "data", .kind = Arg::Bytes, .annotation = "bytes"},
                   {.name = "i", .kind = Arg::Int, .annotation = "int"}},
        .return_annotation = "tuple",
        .impl = qrl::impl<read_tlv_entry>,
    },
    {
        .name = "der_spki_ec_to_jwk",
        .doc = "Convert a DER SubjectPublicKeyInfo of an EC key to a public JWK.",
        .params = {{.name = "der", .kind = Arg::Bytes, .annotation = "bytes"}, kKidParam},
        .return_annotation = "dict",
        .impl = qrl::impl<der_spki_ec_to_jwk_entry>,
    },
    {
        .name = "pem_public_key_to_der",
        .doc = "Return the DER inside the first PUBLIC KEY block of PEM text.",
        .params = {{.name = "pem_text", .kind = Arg::Str, .annotation = "str"}},
        .return_annotation = "bytes",
        .impl = qrl::impl<pem_public_key_to_der_entry>,
    },
    {
        .name = "pem_private_key_to_der",
        .doc = "Return the DER inside the first PRIVATE KEY or EC PRIVATE KEY block of PEM text.",
        .params = {{.name = "pem_text", .kind = Arg::Str, .annotation = "str"}},
        .return_annotation = "bytes",
        .impl = qrl::impl<pem_private_key_to_der_entry>,
    },
    {
        .name = "_parse_oid",
        .doc = "Decode OBJECT IDENTIFIER content octets into a list of arcs.",
        .params = {{.name = "der_oid", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "list[int]",
        .impl = qrl::impl<parse_oid_entry>,
    },
    {
        .name = "_curve_name_from_oid",
        .doc = "Return the curve name of a curve OID in CURVES.",
        .params = {{.name = "oid_der", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "str",
        .impl = qrl::impl<curve_name_from_oid_entry>,
    },
    {
        .name = "_curve_size_from_name",
        .doc = "Return the field element size in bytes of a named curve.",
        .params = {{.name = "curve_name", .kind = Arg::Str, .annotation = "str"}},
        .return_annotation = "int",
        .impl = qrl::impl<curve_size_from_name_entry>,
    },
    {
        .name = "_der_ec_private_key_to_jwk_sec1",
        .doc = "Convert a DER SEC1 ECPrivateKey to a private JWK.",
        .params = {{.name = "ec_der", .kind = Arg::Bytes, .annotation = "bytes"},
                   {.name = "curve_name", .kind = Arg::StrOrNone, .annotation = "str | None", .default_kind = Default::None},
                   kKidParam},
        .return_annotation = "dict",
        .impl = qrl::impl<sec1_to_jwk_entry>,
    },
    {
        .name = "der_ec_private_key_to_jwk",
        .doc = "Convert a DER EC private key, PKCS#8 or SEC1, to a private JWK.",
        .params = {{.name = "der", .kind = Arg::Bytes, .annotation = "bytes"}, kKidParam},
        .return_annotation = "dict",
        .impl = qrl::impl<der_ec_private_key_to_jwk_entry>,
    },
    {
        .name = "pem_private_key_to_jwk",
        .doc = "Convert a PEM EC private key, PKCS#8 or SEC1, to a private JWK.",
        .params = {{.name = "pem_text", .kind = Arg::Str, .annotation = "str"}, kKidParam},
        .return_annotation = "dict",
        .impl = qrl::impl<pem_private_key_to_jwk_entry>,
    },
    {
        .name = "_der_len",
        .doc = "Encode a DER length in its minimal definite form.",
        .params = {{.name = "length", .kind = Arg::Int, .annotation = "int"}},
        .return_annotation = "bytes",
        .impl = qrl::impl<der_len_entry>,
    },
    {
        .name = "_der_tlv",
        .doc = "Encode one DER element: tag octet, length and value.",
        .params = {{.name = "tag", .kind = Arg::Int, .annotation = "int"},
                   {.name = "value", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "bytes",
        .impl = qrl::impl<der_tlv_entry>,
    },
    {
        .name = "_pem_armor",
        .doc = "Wrap DER in PEM armour with the given label.",
        .params = {{.name = "label", .kind = Arg::Str, .annotation = "str"},
                   {.name = "der", .kind = Arg::Bytes, .annotation = "bytes"}},
        .return_annotation = "str",
        .impl = qrl::impl<pem_armor_entry>,
    },
    {
        .name = "jwk_public_key_to_pem",
        .doc = "Convert an EC JWK to PEM SubjectPublicKeyInfo text.",
        .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
        .return_annotation = "str",
        .impl = qrl::impl<jwk_public_key_to_pem_entry>,
    },
    {
        .name = "jwk_private_key_to_pem",
        .doc = "Convert a private EC JWK to PEM PKCS#8 text.",
        .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
        .return_annotation = "str",
        .impl = qrl::impl<jwk_private_key_to_pem_entry>,
    },
    {
        .name = "jwk_to_pem",
        .doc = "Convert an EC JWK to PEM: PKCS#8 when it has d, else SubjectPublicKeyInfo.",
        .params = {{.name = "jwk", .kind = Arg::Dict, .annotation = "dict"}},
        .return_annotation = "str",
        .impl = qrl::impl<jwk_to_pem_entry>,
    },
};

Ref text(const char* value) { return qrl::steal(PyUnicode_FromString(value)); }
Ref byte(std::uint8_t value) { return qrl::bytes_from(std::span<const std::uint8_t>(&value, 1)); }

bool make_constants(Constants& t) {
    t.zero = qrl::int_from(0);
    t.one = qrl::int_from(1);
    t.two = qrl::int_from(2);
    t.byte_00 = byte(0x00);
    t.byte_01 = byte(0x01);
    t.byte_04 = byte(0x04);
    t.empty = text("");
    t.newline = text("\n");
    t.ascii = qrl::intern("ascii");
    t.whitespace = text("\\s+");
    t.public_block = text("-----BEGIN PUBLIC KEY-----(.*?)-----END PUBLIC KEY-----");
    t.private_block = text("-----BEGIN (PRIVATE KEY|EC PRIVATE KEY)-----(.*?)-----END \\1-----");
    const char* const labels[] = {"PUBLIC KEY", "PRIVATE KEY", "EC PRIVATE KEY"};
    for (std::size_t k = 0; k < std::size(labels); ++k) {
        t.markers[k][0] = qrl::steal(PyUnicode_FromFormat("-----BEGIN %s-----", labels[k]));
        t.markers[k][1] = qrl::steal(PyUnicode_FromFormat("-----END %s-----", labels[k]));
    }
    t.public_label = text("PUBLIC KEY");
    t.private_label = text("PRIVATE KEY");
    t.begin = text("-----BEGIN ");
    t.dashes_newline = text("-----\n");
    t.end = text("\n-----END ");
    t.kw_flags = qrl::steal(Py_BuildValue("(s)", "flags"));
    t.kw_kid = qrl::steal(Py_BuildValue("(s)", "kid"));
    t.kw_curve_name_kid = qrl::steal(Py_BuildValue("(ss)", "curve_name", "kid"));
    return !PyErr_Occurred();
}

bool record_originals(PyObject* module, State& s) {
    for (const Sibling* sibling : kSiblings) {
        if (!s.originals.record(module, {&sibling->route})) return false;
    }
    if (!s.originals.record(module, {&kPemSearchRoute}) || !s.base64.record(s.originals, module)) return false;
    s.originals.seal(module);  // the module is complete
    return true;
}

bool exec_decodekey(PyObject* module, State& s) {
    if (PyErr_Occurred() || !qrl::require_runtime() || !make_constants(s.constants)) return false;
    if (!qrl::import_into(module, "base64") || !qrl::import_into(module, "re") || !bind_curve_tables(module))
        return false;
    for (const qrl::FunctionSpec& spec : kSpecs) {
        if (!qrl::add_function(module, spec, &s)) return false;
    }
    return record_originals(module, s);
}

qrl::Module<State> definition("quarlopro.decodekey", "decodekey",
                              "EC keys (P-256, P-384, P-521) between PEM, DER and JSON Web Key form.", exec_decodekey);

}  // namespace

}  // namespace decodekey

PyMODINIT_FUNC PyInit_decodekey(void) { return qrl::module_init<decodekey::definition>(); }

// The base64 calls of the modules, as their global `base64` would make them.
//
// Each standard function is a thin Python wrapper around binascii. While the
// module a caller's global `base64` names, the function and everything it
// relies on (its helpers, translation tables, binascii and its functions)
// are the objects seen at import, the encoders compute the same text
// natively and the decoders go straight to binascii with the arguments the
// wrapper would pass, so results and errors are the same. Anything else
// calls the global's function through Python.
#pragma once

#include "originals.h"

namespace qrl {

enum class Base64Fn { b64encode, b64decode, urlsafe_b64encode, urlsafe_b64decode };

// The length of unpadded Base64url text for `size` bytes.
std::size_t base64url_size(std::size_t size);
// Unpadded Base64url of `data` into `out` (base64url_size(data.size())
// characters), as the standard urlsafe_b64encode(data).rstrip(b"=") has
// them; needs no Python, so it also runs without the GIL.
void base64url_encode_into(std::span<const std::uint8_t> data, std::uint8_t* out);

// Part of the state of a module that calls base64 through its globals.
class Base64Calls {
public:
    // Records the routes of the four functions in `originals` (call once,
    // at import, with the module's `base64` already bound).
    bool record(Originals& originals, PyObject* module);

    // base64.<fn>(arg)
    Ref call(const Originals& originals, PyObject* globals, Base64Fn fn, PyObject* arg) const;
    // base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")
    Ref urlsafe_encode_unpadded(const Originals& originals, PyObject* globals, PyObject* data) const;
    // base64.urlsafe_b64decode(text + "=" * (-len(text) % 4)) for an exact str
    Ref urlsafe_decode_unpadded(const Originals& originals, PyObject* globals, PyObject* text) const;

    // Whether base64.<fn> is the standard function with everything it relies
    // on as at import (its result then follows from its argument alone).
    bool standard(const Originals& originals, PyObject* globals, Base64Fn fn) const;
    // The same in parts, for a caller that checks this route together with
    // its own: standard() is tables_standard() and route(fn) unchanged.
    bool tables_standard() const { return standard_; }
    static const Route& route(Base64Fn fn);

private:

    Ref name_base64_, names_[4], name_rstrip_, name_decode_, ascii_, equals_, equals_byte_;
    // The tables and binascii functions were the standard ones at import.
    bool standard_ = false;
};

}  // namespace qrl

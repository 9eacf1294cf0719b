// The standard library's hashing and JSON as the module's globals call them:
// hashlib.sha256, hmac.new with it, and json.dumps in the token's canonical
// form. While everything on a function's way is as it was at import, the
// same result is computed without the Python-level wrappers: SHA-256 and
// HMAC-SHA-256 by the engine (the standard functions compute exactly these),
// JSON by one encoder made at import.
#pragma once

#include "state.h"

namespace jwt {

// hashlib.sha256 is a C function of the standard library.
inline constexpr qrl::Route kSha256Route{"hashlib.sha256"};
// hmac.new(key, msg, hashlib.sha256).digest() goes HMAC.__init__ ->
// HMAC._init_hmac -> _hashopenssl.hmac_new, and digest() -> _current().
inline constexpr qrl::Route kHmacRoute{"hmac.new",
                                       "hmac.HMAC.__init__",
                                       "hmac.HMAC._init_hmac",
                                       "hmac.HMAC.digest",
                                       "hmac.HMAC._current",
                                       "hmac._functype",
                                       "hmac._hashopenssl.hmac_new",
                                       "hashlib.sha256"};
// json.dumps(v, separators=(",", ":"), sort_keys=True) is
// json.JSONEncoder(separators=(",", ":"), sort_keys=True).encode(v) (the
// encoder made once: encode() keeps no state between calls), and for a dict
// that is "".join(c_make_encoder({}, encoder.default, encode_basestring_ascii,
// None, ":", ",", True, skipkeys, allow_nan)(v, 0)): the C encoder of json.
inline constexpr qrl::Route kCanonicalJsonRoute{"json.dumps",
                                                "json.JSONEncoder",
                                                "json.JSONEncoder.__init__",
                                                "json.JSONEncoder.encode",
                                                "json.JSONEncoder.iterencode",
                                                "json.JSONEncoder.default",
                                                "json.encoder.c_make_encoder",
                                                "json.encoder.encode_basestring_ascii"};

// Messages at least this long are hashed without the GIL.
inline constexpr Py_ssize_t kHashWithoutGil = 16 * 1024;

// hashlib.sha256(data).digest()
Ref sha256_digest(qrl::Call& call, PyObject* data);
// SHA-256 of exact bytes by the engine, without the GIL for long data.
void sha256_native(std::span<const std::uint8_t> data, std::uint8_t digest[32]);

// hmac.new(key, message, hashlib.sha256).digest(); null arguments (an error
// already raised) give null.
Ref hmac_sha256(qrl::Call& call, PyObject* key, PyObject* message);

// json.dumps(value, separators=(",", ":"), sort_keys=True).encode("utf-8")
Ref canonical_json(qrl::Call& call, PyObject* value);
// The same by the encoder made at import, for a caller that has just found
// kCanonicalJsonRoute unchanged (and s.canonical_encoder made).
Ref canonical_json_of_originals(const State& s, PyObject* value);
// The same by json's own encoder only, for a value the native writer has
// already declined (canonical_json_of_plain_data).
Ref canonical_json_by_encoder(const State& s, PyObject* value);

// What the canonical JSON shortcut uses, made at import once the routes are
// recorded (nulls, and no error, when json is not as expected).
struct CanonicalJson {
    Held encoder;          // json.JSONEncoder(separators=(",", ":"), sort_keys=True, dumps' defaults)
    Held c_encoder_args;   // the arguments of c_make_encoder after the markers, or null
};
CanonicalJson make_canonical_json(const State& s);

}  // namespace jwt

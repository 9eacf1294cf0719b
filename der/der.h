// Reading and writing the DER the keys and signatures use, over bytes only
// (no Python), with the lenient rules the package's readers document.
//
//  * read_tlv: one element (single identifier octet, short or long-form
//    length), indexed and sliced as Python indexes and slices bytes.
//  * length_octets: the minimal definite length encoding.
//  * signature_to_raw64: an ECDSA-Sig-Value to the 64-byte r || s form.
//  * subidentifier_bytes: the 7-bit groups of an OID subidentifier as
//    big-endian octets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace der {

using Bytes = std::span<const std::uint8_t>;

// ---------------------------------------------------------------------------
// Elements

struct Tlv {
    std::uint8_t tag = 0;
    Bytes value;            // the content, cut short at the end of the data
    std::int64_t next = 0;  // the declared end, even past the data
};

enum class TlvError {
    none,
    index_out_of_range,  // the identifier or first length octet is missing
    too_large,           // the declared end does not fit a signed 64-bit index
};

// The element at `index` of `data`; a negative index counts from the end, as
// Python's does. Nothing is bounds-checked beyond what indexing and slicing
// do: a declared length longer than the data gives a shorter value.
TlvError read_tlv(Bytes data, std::int64_t index, Tlv& out);

// The length octets of `length`: the short form below 0x80, else 0x80 | n
// and the n minimal big-endian octets. Returns their count (1 to 9).
std::size_t length_octets(std::uint64_t length, std::uint8_t out[9]);

// ---------------------------------------------------------------------------
// ECDSA signatures

enum class SignatureError {
    none,
    not_a_signature,     // "Not a DER ECDSA signature"
    length,              // "Invalid DER length"
    sequence_length,     // "Invalid DER sequence length"
    integer_r,           // "Invalid DER INTEGER r"
    integer_r_length,    // "Invalid DER INTEGER r length"
    integer_s,           // "Invalid DER INTEGER s"
    integer_s_length,    // "Invalid DER INTEGER s length"
    integer_too_large,   // "ECDSA integer too large for P-256"
};

// The message the reader raises for `error`.
const char* message(SignatureError error);

// A SEQUENCE of two INTEGERs that ends exactly at the end of the input (short
// form, or long form with one or two octets, for the SEQUENCE length; one
// octet, read as is, for each INTEGER), r and s with every leading zero
// stripped (one octet always remains) and then left-padded to 32 octets each.
SignatureError signature_to_raw64(Bytes der, std::array<std::uint8_t, 64>& raw);

// ---------------------------------------------------------------------------
// Object identifiers

// The value of one subidentifier (its octets' low seven bits, most
// significant group first) as minimal-or-longer big-endian octets.
std::vector<std::uint8_t> subidentifier_bytes(Bytes octets);

}  // namespace der

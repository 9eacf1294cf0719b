// DER over bytes.
#include "der.h"

#include <algorithm>
#include <limits>

namespace der {

namespace {

constexpr std::int64_t kIndexMax = std::numeric_limits<std::int64_t>::max();

// data[index] with Python's negative indices; false when out of range.
bool byte_at(Bytes data, std::int64_t index, unsigned& out) {
    const auto size = static_cast<std::int64_t>(data.size());
    const std::int64_t at = index < 0 ? index + size : index;
    if (at < 0 || at >= size) return false;
    out = data[static_cast<std::size_t>(at)];
    return true;
}

// data[start:stop] with Python's clamping of slice bounds.
Bytes python_slice(Bytes data, std::int64_t start, std::int64_t stop) {
    const auto size = static_cast<std::int64_t>(data.size());
    auto clamp = [size](std::int64_t bound) -> std::int64_t {
        if (bound < 0) return bound + size < 0 ? 0 : bound + size;
        return bound > size ? size : bound;
    };
    start = clamp(start);
    stop = std::max(clamp(stop), start);
    return data.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(stop - start));
}

// Big-endian unsigned value of `octets`; false when it needs more than 64 bits.
bool big_endian_u64(Bytes octets, std::uint64_t& value) {
    std::size_t first = 0;
    while (first < octets.size() && octets[first] == 0) ++first;
    if (octets.size() - first > sizeof value) return false;
    value = 0;
    for (std::size_t k = first; k < octets.size(); ++k) value = value << 8 | octets[k];
    return true;
}

// Whether `position + length` stays within a signed 64-bit index.
bool end_fits(std::int64_t position, std::uint64_t length) {
    constexpr auto max = static_cast<std::uint64_t>(kIndexMax);
    if (position >= 0) return length <= max - static_cast<std::uint64_t>(position);
    return length <= max + static_cast<std::uint64_t>(-(position + 1)) + 1;
}

}  // namespace

TlvError read_tlv(Bytes data, std::int64_t index, Tlv& out) {
    std::int64_t i = index;
    unsigned tag = 0, length_octet = 0;
    if (!byte_at(data, i, tag)) return TlvError::index_out_of_range;
    ++i;
    if (!byte_at(data, i, length_octet)) return TlvError::index_out_of_range;
    ++i;
    std::uint64_t length = length_octet;
    if (length_octet & 0x80) {
        const std::int64_t count = length_octet & 0x7F;
        if (!big_endian_u64(python_slice(data, i, i + count), length)) return TlvError::too_large;
        i += count;
    }
    if (!end_fits(i, length)) return TlvError::too_large;
    // In range by end_fits; unsigned arithmetic keeps the sum defined.
    const auto end = static_cast<std::int64_t>(static_cast<std::uint64_t>(i) + length);
    out.tag = static_cast<std::uint8_t>(tag);
    out.value = python_slice(data, i, end);
    out.next = end;
    return TlvError::none;
}

std::size_t length_octets(std::uint64_t length, std::uint8_t out[9]) {
    if (length < 0x80) {
        out[0] = static_cast<std::uint8_t>(length);
        return 1;
    }
    std::size_t count = 0;
    for (std::uint64_t rest = length; rest; rest >>= 8) ++count;
    out[0] = static_cast<std::uint8_t>(0x80 | count);
    for (std::size_t k = 0; k < count; ++k) out[count - k] = static_cast<std::uint8_t>(length >> (8 * k));
    return count + 1;
}

const char* message(SignatureError error) {
    switch (error) {
    case SignatureError::none:
        return "";
    case SignatureError::not_a_signature:
        return "Not a DER ECDSA signature";
    case SignatureError::length:
        return "Invalid DER length";
    case SignatureError::sequence_length:
        return "Invalid DER sequence length";
    case SignatureError::integer_r:
        return "Invalid DER INTEGER r";
    case SignatureError::integer_r_length:
        return "Invalid DER INTEGER r length";
    case SignatureError::integer_s:
        return "Invalid DER INTEGER s";
    case SignatureError::integer_s_length:
        return "Invalid DER INTEGER s length";
    case SignatureError::integer_too_large:
        return "ECDSA integer too large for P-256";
    }
    return "";
}

namespace {

// Every leading zero octet goes, but one octet always remains.
Bytes strip_leading_zeros(Bytes value) {
    while (value.size() > 1 && value[0] == 0x00) value = value.subspan(1);
    return value;
}

}  // namespace

SignatureError signature_to_raw64(Bytes der, std::array<std::uint8_t, 64>& raw) {
    const std::size_t len = der.size();
    if (len < 8 || der[0] != 0x30) return SignatureError::not_a_signature;
    std::size_t i = 1;
    std::size_t seq_len = der[i++];
    if (seq_len & 0x80) {
        const std::size_t n = seq_len & 0x7F;
        if (n == 0 || n > 2 || i + n > len) return SignatureError::length;
        seq_len = 0;
        for (std::size_t j = 0; j < n; ++j) seq_len = seq_len << 8 | der[i + j];
        i += n;
    }
    if (i + seq_len != len) return SignatureError::sequence_length;

    if (i >= len || der[i] != 0x02) return SignatureError::integer_r;
    if (++i >= len) return SignatureError::integer_r_length;
    const std::size_t r_len = der[i++];
    if (r_len == 0 || i + r_len > len) return SignatureError::integer_r;
    const Bytes r = strip_leading_zeros(der.subspan(i, r_len));
    i += r_len;

    if (i >= len || der[i] != 0x02) return SignatureError::integer_s;
    if (++i >= len) return SignatureError::integer_s_length;
    const std::size_t s_len = der[i++];
    if (s_len == 0 || i + s_len != len) return SignatureError::integer_s;
    const Bytes s = strip_leading_zeros(der.subspan(i, s_len));

    if (r.size() > 32 || s.size() > 32) return SignatureError::integer_too_large;
    raw.fill(0);
    std::copy(r.begin(), r.end(), raw.begin() + static_cast<std::ptrdiff_t>(32 - r.size()));
    std::copy(s.begin(), s.end(), raw.begin() + static_cast<std::ptrdiff_t>(64 - s.size()));
    return SignatureError::none;
}

std::vector<std::uint8_t> subidentifier_bytes(Bytes octets) {
    // Pack the groups into big-endian octets, least significant group first.
    std::vector<std::uint8_t> packed((octets.size() * 7 + 7) / 8);
    std::size_t out = packed.size();
    unsigned accumulator = 0;
    int bits = 0;
    for (auto it = octets.rbegin(); it != octets.rend(); ++it) {
        accumulator |= static_cast<unsigned>(*it & 0x7F) << bits;
        bits += 7;
        while (bits >= 8) {
            packed[--out] = static_cast<std::uint8_t>(accumulator);
            accumulator >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0 && out > 0) packed[--out] = static_cast<std::uint8_t>(accumulator);
    return packed;
}

}  // namespace der

// Modular inversion by batched divsteps, in a variable-time and a
// constant-time variant that share the big-number updates.
//
// One divstep maps (delta, f, g), f odd, to
//   (1 - delta, g, (g - f) / 2)  if delta > 0 and g is odd,
//   (1 + delta, f, (g + f) / 2)  if g is odd otherwise,
//   (1 + delta, f, g / 2)        if g is even.
// Starting from (1, m, x), g reaches 0 within 741 steps for 256-bit inputs
// (Bernstein and Yang, Theorem 11.2) and then f = +-gcd(m, x) = +-1; once
// g = 0, further steps leave f unchanged. Alongside, d and e with f = d x and
// g = e x (mod m) give the inverse as +-d.
//
// The first 62 steps depend only on the low 62 bits of f and g, so each
// batch is computed on 64-bit words as a matrix T = [u v; q r] with
// 2^62 (f', g') = T (f, g), then applied to the full numbers. Numbers are
// held in five signed limbs of 62 bits, so that products of a limb and a
// matrix entry (|entry| <= 2^62) fit in 128 bits.
//
// The variable-time variant skips runs of zeros in g and stops once g = 0.
// The constant-time one always runs 13 batches of 60 steps (two halves of
// 30 whose matrices are multiplied and scaled to 2^62), each step made of
// masks, and ends with a masked reduction of d.
#include "modinv.h"

#include "ct.h"

namespace p256::P256_VARIANT {

namespace modinv_detail {

S62 to_s62(const U256& a) {
    const std::uint64_t* l = a.limb;
    return S62{{static_cast<std::int64_t>(l[0] & kMask62),
                static_cast<std::int64_t>(((l[0] >> 62) | (l[1] << 2)) & kMask62),
                static_cast<std::int64_t>(((l[1] >> 60) | (l[2] << 4)) & kMask62),
                static_cast<std::int64_t>(((l[2] >> 58) | (l[3] << 6)) & kMask62),
                static_cast<std::int64_t>(l[3] >> 56)}};
}

U256 from_s62(const S62& a) {
    const auto u = [&](int i) { return static_cast<std::uint64_t>(a.v[i]); };
    return U256{{u(0) | (u(1) << 62), (u(1) >> 2) | (u(2) << 60), (u(2) >> 4) | (u(3) << 58),
                 (u(3) >> 6) | (u(4) << 56)}};
}

void add_scaled(S62& a, const S62& b, std::int64_t sign) {
    std::int64_t c = 0;
    for (int i = 0; i < 4; ++i) {
        c += a.v[i] + sign * b.v[i];
        a.v[i] = c & kMask62;
        c >>= 62;
    }
    a.v[4] += sign * b.v[4] + c;
}

}  // namespace modinv_detail

namespace {

using namespace modinv_detail;

__extension__ typedef __int128 i128;

bool is_zero(const S62& a) { return (a.v[0] | a.v[1] | a.v[2] | a.v[3] | a.v[4]) == 0; }

inline int ctz64(std::uint64_t x) {  // x != 0
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctzll(x);
#else
    int n = 0;
    while (!(x & 1)) {
        x >>= 1;
        ++n;
    }
    return n;
#endif
}

// 62 divsteps on the low bits of f and g; returns the new delta. Runs of
// zeros in g are skipped at once (each is one "g even" step).
std::int64_t divsteps_62(std::int64_t delta, std::uint64_t f, std::uint64_t g, Matrix& t) {
    std::int64_t u = 1, v = 0, q = 0, r = 1;
    int left = 62;
    for (;;) {
        const int z = ctz64(g | (std::uint64_t{1} << left));
        g >>= z;
        u *= std::int64_t{1} << z;
        v *= std::int64_t{1} << z;
        delta += z;
        left -= z;
        if (left == 0) break;
        // g is odd here.
        if (delta > 0) {
            delta = 1 - delta;
            const std::uint64_t f_old = f;
            f = g;
            g = (g - f_old) >> 1;
            const std::int64_t u_old = u, v_old = v;
            u = 2 * q;
            v = 2 * r;
            q -= u_old;
            r -= v_old;
        } else {
            delta = 1 + delta;
            g = (g + f) >> 1;
            q += u;
            r += v;
            u *= 2;
            v *= 2;
        }
        --left;
    }
    t = Matrix{u, v, q, r};
    return delta;
}

// (f, g) = T (f, g) / 2^62, exact.
void update_fg(S62& f, S62& g, const Matrix& t) {
    i128 cf = static_cast<i128>(t.u) * f.v[0] + static_cast<i128>(t.v) * g.v[0];
    i128 cg = static_cast<i128>(t.q) * f.v[0] + static_cast<i128>(t.r) * g.v[0];
    cf >>= 62;
    cg >>= 62;
    for (int i = 1; i < 5; ++i) {
        cf += static_cast<i128>(t.u) * f.v[i] + static_cast<i128>(t.v) * g.v[i];
        cg += static_cast<i128>(t.q) * f.v[i] + static_cast<i128>(t.r) * g.v[i];
        f.v[i - 1] = static_cast<std::int64_t>(cf) & kMask62;
        g.v[i - 1] = static_cast<std::int64_t>(cg) & kMask62;
        cf >>= 62;
        cg >>= 62;
    }
    f.v[4] = static_cast<std::int64_t>(cf);
    g.v[4] = static_cast<std::int64_t>(cg);
}

// (d, e) = T (d, e) / 2^62 mod m: a multiple k m with k in [0, 2^62) is
// added to each numerator to make it divisible by 2^62. Since
// |u| + |v| <= 2^62, each batch grows |d| and |e| by less than m.
void update_de(S62& d, S62& e, const Matrix& t, const S62& m, std::uint64_t minv) {
    i128 cd = static_cast<i128>(t.u) * d.v[0] + static_cast<i128>(t.v) * e.v[0];
    i128 ce = static_cast<i128>(t.q) * d.v[0] + static_cast<i128>(t.r) * e.v[0];
    const std::int64_t kd = static_cast<std::int64_t>((0 - static_cast<std::uint64_t>(cd) * minv) & kMask62);
    const std::int64_t ke = static_cast<std::int64_t>((0 - static_cast<std::uint64_t>(ce) * minv) & kMask62);
    cd += static_cast<i128>(kd) * m.v[0];
    ce += static_cast<i128>(ke) * m.v[0];
    cd >>= 62;
    ce >>= 62;
    for (int i = 1; i < 5; ++i) {
        cd += static_cast<i128>(t.u) * d.v[i] + static_cast<i128>(t.v) * e.v[i] + static_cast<i128>(kd) * m.v[i];
        ce += static_cast<i128>(t.q) * d.v[i] + static_cast<i128>(t.r) * e.v[i] + static_cast<i128>(ke) * m.v[i];
        d.v[i - 1] = static_cast<std::int64_t>(cd) & kMask62;
        e.v[i - 1] = static_cast<std::int64_t>(ce) & kMask62;
        cd >>= 62;
        ce >>= 62;
    }
    d.v[4] = static_cast<std::int64_t>(cd);
    e.v[4] = static_cast<std::int64_t>(ce);
}

// m^-1 mod 2^64 for odd m, by Newton iteration.
std::uint64_t inv64(std::uint64_t m) {
    std::uint64_t x = m;
    for (int i = 0; i < 5; ++i) x *= 2 - m * x;
    return x;
}

}  // namespace

// ---- Constant time ----------------------------------------------------------

namespace modinv_detail {

// 30 divsteps on the low 64 bits of f (odd) and g with no branch and no
// table; f and g are updated in place (their low 34 bits stay exact) and
// the matrix, scaled by 2^30, is returned in t. eta = -delta, so that
// "delta > 0" is its sign bit. A step is done as
//   g += (g odd) ? (delta > 0 ? -f : f) : 0      (and the g row likewise)
//   f += (delta > 0 and g was odd) ? g : 0        (f + (g - f) = old g)
//   g >>= 1, and the f row doubles,
// which is the swap-and-subtract case when the second line fires and the
// add-or-halve case otherwise. Each row of the matrix is packed in one
// word as u + v 2^32: every operation on it is linear, so the packed word
// stays exact modulo 2^64, and |u|, |v| <= 2^30 let both be read back.
std::uint64_t divsteps_30_ct(std::uint64_t eta, std::uint64_t& f_io, std::uint64_t& g_io, Matrix& t) {
    std::uint64_t f = f_io, g = g_io;
    std::uint64_t fr = 1, gr = std::uint64_t{1} << 32;  // rows (u, v), (q, r)
    for (int i = 0; i < 30; ++i) {
        const std::uint64_t pos = value_barrier(0 - (eta >> 63));  // delta > 0
        const std::uint64_t odd = value_barrier(0 - (g & 1));
        const std::uint64_t swap = pos & odd;
        g += ((f ^ pos) - pos) & odd;
        gr += ((fr ^ pos) - pos) & odd;
        // delta -> 1 - delta on a swap (eta -> -eta - 1 = ~eta), else
        // delta -> 1 + delta (eta -> eta - 1).
        eta = (eta ^ swap) - 1 - swap;
        f += g & swap;
        fr += gr & swap;
        g >>= 1;
        fr <<= 1;
    }
    f_io = f;
    g_io = g;
    const auto low = [](std::uint64_t w) { return static_cast<std::int64_t>(w << 32) >> 32; };
    const auto high = [&](std::uint64_t w) {
        return static_cast<std::int64_t>(w - static_cast<std::uint64_t>(low(w))) >> 32;
    };
    t = Matrix{low(fr), high(fr), low(gr), high(gr)};
    return eta;
}

}  // namespace modinv_detail

namespace {

// 60 divsteps as two halves of 30, their matrices multiplied
// (|entries| <= 2^60) and scaled by 4, so that 2^62 (f', g') = T (f, g)
// as for divsteps_62.
std::uint64_t divsteps_60_ct(std::uint64_t eta, std::uint64_t f, std::uint64_t g, Matrix& t) {
    Matrix a, b;
    eta = divsteps_30_ct(eta, f, g, a);
    eta = divsteps_30_ct(eta, f, g, b);
    t = Matrix{4 * (b.u * a.u + b.v * a.q), 4 * (b.u * a.v + b.v * a.r), 4 * (b.q * a.u + b.r * a.q),
               4 * (b.q * a.v + b.r * a.r)};
    return eta;
}

// a 2^k for 0 <= a and 0 <= k < 62, normalised.
S62 shl_s62(const S62& a, int k) {
    const auto u = [&](int i) { return static_cast<std::uint64_t>(a.v[i]); };
    const std::uint64_t mask = static_cast<std::uint64_t>(kMask62);
    S62 r;
    r.v[0] = static_cast<std::int64_t>((u(0) << k) & mask);
    for (int i = 1; i < 4; ++i) {
        r.v[i] = static_cast<std::int64_t>(((u(i) << k) | (u(i - 1) >> (62 - k))) & mask);
    }
    r.v[4] = static_cast<std::int64_t>((u(4) << k) | (u(3) >> (62 - k)));
    return r;
}

// a = b when mask is all ones, else a is left alone.
void cmov_s62(S62& a, const S62& b, std::uint64_t mask) {
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t x = static_cast<std::uint64_t>(a.v[i]), y = static_cast<std::uint64_t>(b.v[i]);
        a.v[i] = static_cast<std::int64_t>(x ^ (mask & (x ^ y)));
    }
}

// All ones when a < 0 (the sign of the top limb), else zero.
std::uint64_t negative_mask(const S62& a) {
    return value_barrier(0 - (static_cast<std::uint64_t>(a.v[4]) >> 63));
}

}  // namespace

U256 modinv_var(const U256& x, const U256& m) {
    const S62 ms = to_s62(m);
    const std::uint64_t minv = inv64(m.limb[0]);
    S62 f = ms, g = to_s62(x), d{{0, 0, 0, 0, 0}}, e{{1, 0, 0, 0, 0}};
    std::int64_t delta = 1;
    // 741 divsteps always suffice for 256-bit inputs: 12 batches of 62.
    for (int batch = 0; batch < 12 && !is_zero(g); ++batch) {
        Matrix t;
        delta = divsteps_62(delta, static_cast<std::uint64_t>(f.v[0]) | (static_cast<std::uint64_t>(f.v[1]) << 62),
                            static_cast<std::uint64_t>(g.v[0]) | (static_cast<std::uint64_t>(g.v[1]) << 62), t);
        update_fg(f, g, t);
        update_de(d, e, t, ms, minv);
    }
    // f = +-1 now (m prime, x nonzero); the inverse is +-d.
    if (f.v[4] < 0) {
        S62 neg{{0, 0, 0, 0, 0}};
        add_scaled(neg, d, -1);
        d = neg;
    }
    while (d.v[4] < 0) add_scaled(d, ms, 1);
    for (;;) {
        S62 t = d;
        add_scaled(t, ms, -1);
        if (t.v[4] < 0) break;
        d = t;
    }
    return from_s62(d);
}

namespace modinv_detail {

// Each batch adds less than m to max(|d|, |e|), which starts at 1, so
// |d| < 14 m after 13 batches; with 16 m added, 0 < d < 30 m, and
// subtracting 16 m, 8 m, 4 m, 2 m and m wherever that leaves d >= 0 brings
// it into [0, m). All by masks.
U256 normalise_ct(S62 d, std::uint64_t negate, const S62& m) {
    S62 neg{{0, 0, 0, 0, 0}};
    add_scaled(neg, d, -1);
    cmov_s62(d, neg, negate);
    add_scaled(d, shl_s62(m, 4), 1);
    for (int k = 4; k >= 0; --k) {
        S62 t = d;
        add_scaled(t, shl_s62(m, k), -1);
        cmov_s62(d, t, ~negative_mask(t));
    }
    return from_s62(d);
}

}  // namespace modinv_detail

// The same iteration with a fixed count and branch-free steps. The
// arithmetic on f, g, d and e has no data-dependent branch (the 128-bit
// products and shifts take fixed time), so the only work left is the final
// reduction of d, done with masks.
U256 modinv_ct(const U256& x, const U256& m) {
    const S62 ms = to_s62(m);
    const std::uint64_t minv = inv64(m.limb[0]);
    S62 f = ms, g = to_s62(x), d{{0, 0, 0, 0, 0}}, e{{1, 0, 0, 0, 0}};
    std::uint64_t eta = ~std::uint64_t{0};  // delta = 1
    // 13 batches of 60 = 780 >= 741 divsteps: g = 0 at the end.
    for (int batch = 0; batch < 13; ++batch) {
        Matrix t;
        eta = divsteps_60_ct(eta, static_cast<std::uint64_t>(f.v[0]) | (static_cast<std::uint64_t>(f.v[1]) << 62),
                             static_cast<std::uint64_t>(g.v[0]) | (static_cast<std::uint64_t>(g.v[1]) << 62), t);
        update_fg(f, g, t);
        update_de(d, e, t, ms, minv);
    }
    // f = +-1 (or f = m for x = 0, where d = 0) and the inverse is f d.
    return normalise_ct(d, negative_mask(f), ms);
}

}  // namespace p256::P256_VARIANT

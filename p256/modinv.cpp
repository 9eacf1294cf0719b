// Variable-time modular inversion by batched divsteps.
//
// One divstep maps (delta, f, g), f odd, to
//   (1 - delta, g, (g - f) / 2)  if delta > 0 and g is odd,
//   (1 + delta, f, (g + f) / 2)  if g is odd otherwise,
//   (1 + delta, f, g / 2)        if g is even.
// Starting from (1, m, x), g reaches 0 within 741 steps for 256-bit inputs
// and then f = +-gcd(m, x) = +-1. Alongside, d and e with f = d x and
// g = e x (mod m) give the inverse as +-d.
//
// The first 62 steps depend only on the low 62 bits of f and g, so each
// batch is computed on 64-bit words as a matrix T = [u v; q r] with
// 2^62 (f', g') = T (f, g), then applied to the full numbers. Numbers are
// held in five signed limbs of 62 bits, so that products of a limb and a
// matrix entry (|entry| <= 2^62) fit in 128 bits.
#include "modinv.h"

#include "ct.h"

namespace p256 {

namespace {

__extension__ typedef __int128 i128;

constexpr std::int64_t kMask62 = (std::int64_t{1} << 62) - 1;

// value = sum v[i] 2^(62 i); v[0..3] in [0, 2^62) after each update, v[4]
// carries the sign.
struct S62 {
    std::int64_t v[5];
};

S62 to_s62(const U256& a) {
    const std::uint64_t* l = a.limb;
    return S62{{static_cast<std::int64_t>(l[0] & kMask62),
                static_cast<std::int64_t>(((l[0] >> 62) | (l[1] << 2)) & kMask62),
                static_cast<std::int64_t>(((l[1] >> 60) | (l[2] << 4)) & kMask62),
                static_cast<std::int64_t>(((l[2] >> 58) | (l[3] << 6)) & kMask62),
                static_cast<std::int64_t>(l[3] >> 56)}};
}

// For 0 <= a < 2^256 with normalised limbs.
U256 from_s62(const S62& a) {
    const auto u = [&](int i) { return static_cast<std::uint64_t>(a.v[i]); };
    return U256{{u(0) | (u(1) << 62), (u(1) >> 2) | (u(2) << 60), (u(2) >> 4) | (u(3) << 58),
                 (u(3) >> 6) | (u(4) << 56)}};
}

bool is_zero(const S62& a) { return (a.v[0] | a.v[1] | a.v[2] | a.v[3] | a.v[4]) == 0; }

// a += sign * b, normalising the limbs.
void add_scaled(S62& a, const S62& b, std::int64_t sign) {
    std::int64_t c = 0;
    for (int i = 0; i < 4; ++i) {
        c += a.v[i] + sign * b.v[i];
        a.v[i] = c & kMask62;
        c >>= 62;
    }
    a.v[4] += sign * b.v[4] + c;
}

struct Matrix {
    std::int64_t u, v, q, r;
};

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

}  // namespace p256

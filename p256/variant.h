// The variants of the arithmetic and the choice between them.
//
// Each variant is the same sources compiled into a namespace of its own
// with its own flags (see ct.h); it hands the dispatcher (p256.cpp) a table
// of its entry points. Which variants a build has is set by the build:
// P256_WITH_GENERIC (default 1) and P256_WITH_BMI2_ADX (default 0).
#pragma once

#include <span>

#include "p256.h"

#ifndef P256_WITH_GENERIC
#define P256_WITH_GENERIC 1
#endif
#ifndef P256_WITH_BMI2_ADX
#define P256_WITH_BMI2_ADX 0
#endif

namespace p256 {

struct Tables;

struct Variant {
    const char* name;     // as implementation() reports it
    bool needs_bmi2_adx;  // runs only where CPUID reports BMI2 and ADX
    // The public entry points of the same names (p256.h).
    bool (*on_curve)(const U256& x, const U256& y);
    bool (*mul_vartime)(const U256& k, const U256& x, const U256& y, U256& rx, U256& ry);
    bool (*ecdsa_verify)(const U256& e, const U256& r, const U256& s, const U256& qx, const U256& qy);
    bool (*mul_base_ct)(const U256& k, U256& rx, U256& ry);
    SignStatus (*ecdsa_sign_ct)(const U256& k, const U256& d, const U256& e, U256& r, U256& s);
    void (*build_tables)(Tables& t);
};

#if P256_WITH_GENERIC
namespace generic {
extern const Variant kVariant;
}
#endif
#if P256_WITH_BMI2_ADX
namespace bmi2_adx {
extern const Variant kVariant;
}
#endif

namespace variant_detail {

// The variants of this build, generic (when built) first.
std::span<const Variant* const> built();

// Whether this CPU, as CPUID reports it, runs v.
bool runs_here(const Variant& v);

// The variant the entry points use: the last of built() that runs here,
// chosen once.
const Variant& chosen();

// Makes v the one the entry points use from now on, whatever CPUID says;
// for the tests, the constant-time check and the benchmark, which run every
// variant in one process (valgrind, for one, hides ADX but executes it).
void force(const Variant& v);

}  // namespace variant_detail

}  // namespace p256

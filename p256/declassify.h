// Declassification for the constant-time check (tests/ct_check.cpp).
//
// Memcheck reports every branch that depends on memory marked undefined.
// Where the engine has to branch on a bit computed from a secret whose value
// is public in effect (the nonce loop's rare retry), it marks just that bit
// defined. Outside valgrind the client request is a handful of register
// rotations that do nothing; without valgrind's header it is nothing at all.
#pragma once

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define P256_DECLASSIFY(p, n) ((void)VALGRIND_MAKE_MEM_DEFINED((p), (n)))
#else
#define P256_DECLASSIFY(p, n) ((void)(p), (void)(n))
#endif

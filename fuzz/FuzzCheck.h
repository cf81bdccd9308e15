#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant of the code under test. When it does not hold, the fuzzer stops with the input
// that broke it (libFuzzer saves it as a crash artifact), so a broken invariant is as loud as a
// sanitizer report.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);                     \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

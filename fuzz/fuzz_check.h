// What the fuzz targets share: a check that stops the run with the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

// Aborts (libFuzzer then saves the input) when `condition` does not hold.
#define KVZN_FUZZ_CHECK(condition)                                                             \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

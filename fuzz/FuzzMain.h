#pragma once

// The libFuzzer entry point for one check of FuzzChecks.h: a failed property prints its
// reason and aborts, which libFuzzer reports as a crash and saves the input for.

#include "fuzz/FuzzChecks.h"

#include <cstdio>
#include <cstdlib>

#define FOLIMETER_FUZZ_TARGET(check)                                                                                   \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)                                  \
    {                                                                                                                  \
        if (const fuzzcheck::Failure failure = fuzzcheck::check(data, size)) {                                         \
            std::fprintf(stderr, "property failed: %s\n", failure->c_str());                                           \
            std::abort();                                                                                              \
        }                                                                                                              \
        return 0;                                                                                                      \
    }

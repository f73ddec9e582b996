// What the fuzz targets share: a check that ends the run, for libFuzzer to
// report with the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace updater {

/// When `holds` is false, says `what` on standard error and aborts.
inline void fuzz_check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace updater

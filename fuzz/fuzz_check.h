// SPDX-License-Identifier: MIT
// The fuzz targets' assertion: a broken property ends the run as a finding,
// in every build type.
#ifndef VRELAY_FUZZ_FUZZ_CHECK_H
#define VRELAY_FUZZ_FUZZ_CHECK_H

#include <cstdlib>

inline void FuzzCheck(bool ok) {
    if (!ok)
        std::abort();
}

#endif

// SPDX-License-Identifier: MIT
// The shared library's own translation unit: everything it exports comes from
// the vrelay_client archive, linked whole.
#include <vrelay/vrelay.h>

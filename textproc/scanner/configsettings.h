// SPDX-License-Identifier: MIT
// Layered configuration: a built-in default document and an optional
// override. Lookups ask the override first, the default second.
#ifndef VRELAY_TEXTPROC_CONFIGSETTINGS_H
#define VRELAY_TEXTPROC_CONFIGSETTINGS_H

#include <cstdint>

#include "textproc/scanner/config.h"

struct KVTP_configsettings {
    const KVTP_config* default_config;  // the built-in document; may be null
    KVTP_config* override_config;       // owned; may be null
    int32_t owns_default;               // 0: default_config is the shared one
};

// The built-in configuration document, one line per entry, ending with an
// empty string (ready for KVTP_config_loads). Root element "tpconfig".
extern const char* const KVTP_tpconfig_default_lines[];

// A "tpconfig" configuration loaded with the built-in document; null on
// failure.
KVTP_config* KVTP_config_new_default();

// The built-in configuration, parsed once per process and shared read-only by
// every channel; it lives until the process ends. Null on failure.
const KVTP_config* KVTP_config_shared_default();

// Takes ownership of both configurations (either may be null). Null on
// failure, in which case the caller still owns them.
KVTP_configsettings* KVTP_configsettings_new(KVTP_config* default_config,
                                             KVTP_config* override_config);
// Settings over the shared built-in configuration; takes ownership of the
// override (may be null). Null on failure, in which case the caller still
// owns the override.
KVTP_configsettings* KVTP_configsettings_new_shared(KVTP_config* override_config);
// Deletes the override and an owned default; null is accepted.
void KVTP_configsettings_delete(KVTP_configsettings* s);
// The override's value when it holds the key, else the default's, else null.
// A null attribute gives null; negative lengths mean the string lengths.
const char* KVTP_configsettings_lookup(const KVTP_configsettings* s, const char* group,
                                       int32_t glen, const char* attr, int32_t alen);

#endif  // VRELAY_TEXTPROC_CONFIGSETTINGS_H

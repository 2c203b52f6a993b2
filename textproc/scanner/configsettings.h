// Layered configuration: a built-in default document and an optional
// override. Lookups ask the override first, the default second.
#ifndef VRELAY_TEXTPROC_CONFIGSETTINGS_H
#define VRELAY_TEXTPROC_CONFIGSETTINGS_H

#include <cstdint>

#include "textproc/scanner/config.h"

struct KVTP_configsettings {
    KVTP_config* default_config;   // owned; the built-in document
    KVTP_config* override_config;  // owned; may be null
};

// The built-in configuration document, one line per entry, ending with an
// empty string (ready for KVTP_config_loads). Root element "tpconfig".
extern const char* const KVTP_tpconfig_default_lines[];

// A "tpconfig" configuration loaded with the built-in document; null on
// failure.
KVTP_config* KVTP_config_new_default();

// Takes ownership of both configurations (either may be null). Null on
// failure, in which case the caller still owns them.
KVTP_configsettings* KVTP_configsettings_new(KVTP_config* default_config,
                                             KVTP_config* override_config);
// Deletes both configurations; null is accepted.
void KVTP_configsettings_delete(KVTP_configsettings* s);
// The override's value when it holds the key, else the default's, else null.
// A null attribute gives null; negative lengths mean the string lengths.
const char* KVTP_configsettings_lookup(const KVTP_configsettings* s, const char* group,
                                       int32_t glen, const char* attr, int32_t alen);

#endif  // VRELAY_TEXTPROC_CONFIGSETTINGS_H

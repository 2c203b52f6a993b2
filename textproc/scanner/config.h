// SPDX-License-Identifier: MIT
// Configuration documents of the text-processing library.
//
// A configuration is an XML document whose root element has a given name
// ("tpconfig" for the library); each direct child of the root is a settings
// group and each of its attributes one setting. Settings are kept in a
// string-to-string table under the key group + "|" + attribute. A group that
// occurs again stores its settings under the group name followed by its
// occurrence number ("log1|loglevel" for the second `log` element), and the key
// group + "|" holds the last occurrence number ("0" after the first). The
// values "TRUE" and "true" are stored as "True". A later attribute of the same
// key wins, as lookups run from the last pair backwards.
#ifndef VRELAY_TEXTPROC_CONFIG_H
#define VRELAY_TEXTPROC_CONFIG_H

#include <cstdint>
#include <cstdio>

#include "textproc/toolkit/strarray.h"

struct KVTP_config;

// A configuration for documents whose root element is `root` (len < 0: its
// string length). Null on failure.
KVTP_config* KVTP_config_new(const char* root, int32_t len);
// Null is accepted.
void KVTP_config_delete(KVTP_config* c);

// Scans a whole document (len < 0: its string length). Returns 1, 0 for a null
// configuration or when the scanner cannot run.
int KVTP_config_load(KVTP_config* c, const char* text, int32_t len);
// Scans a document given as lines ending with an empty string; the lines are
// joined with nothing between them. Returns 1 (0 as above).
int KVTP_config_loads(KVTP_config* c, const char* const* lines);
// Reads and scans the regular file at path. 0, with nothing changed, when it
// cannot be opened or read.
int KVTP_config_loadf(KVTP_config* c, const char* path);
// As KVTP_config_load and KVTP_config_loads; the normalisation-rule argument
// has no effect on the configuration.
int KVTP_config_load_prealloc(KVTP_config* c, const char* text, int32_t len, void* nrules);
int KVTP_config_loads_prealloc(KVTP_config* c, const char* const* lines, void* nrules);

// Value of attribute `attr` of the first occurrence of `group`, or null (also
// for a null attribute). Negative lengths mean the string lengths.
const char* KVTP_config_lookup(const KVTP_config* c, const char* group, int32_t glen,
                               const char* attr, int32_t alen);
// As above for occurrence `idx` of the group, counting from 0; an index below
// 1 means the first occurrence.
const char* KVTP_config_lookup_idx(const KVTP_config* c, const char* group, int32_t glen,
                                   const char* attr, int32_t alen, int32_t idx);
// Number of occurrences of the group; 0 if none.
int32_t KVTP_config_lookup_n(const KVTP_config* c, const char* group, int32_t glen);
// The table of keys and values.
KVTP_str2str* KVTP_config_dict(KVTP_config* c);

// Database object hooks for a stored configuration text. load reads a 32-bit
// native-order length and that many bytes, returning them as an owned
// NUL-terminated string (null on a short read or a length outside 0..64 MiB).
char* KVTP_tpobj_config_load(FILE* f);
// With a null buffer: the text length + 1; else copies the text and its NUL
// into the buffer and returns 1. 0 for a null text.
int32_t KVTP_tpobj_config_write(const char* text, void* buffer);
// Frees a string from KVTP_tpobj_config_load; null is accepted.
void KVTP_tpobj_config_delete(char* text);

#endif  // VRELAY_TEXTPROC_CONFIG_H

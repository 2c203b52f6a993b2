// SPDX-License-Identifier: MIT
// Streaming XML scanner of the text-processing library.
//
// The scanner cuts its input into lexical pieces with a fixed table of
// compiled regular expressions, each anchored at the current position, and
// reports them to handlers in the manner of an event parser: element start
// (name plus name/value attribute pairs), element end, character data, entity
// reference, CDATA start and end. Comments, processing instructions, the XML
// declaration and DOCTYPE declarations are recognised and dropped. It builds no
// tree and does not validate: malformed markup degrades to character data.
//
// Input may come in pieces. A non-final parse call leaves the last
// KVTP_TPXML_MARGIN bytes unparsed so that a construct cut by a chunk boundary
// is still matched whole; comment and CDATA state carry across calls.
//
// Every match attempt runs under a step limit (about one step per byte of a
// well-formed construct, 200,000 in all): a DOCTYPE declaration whose internal
// subset is larger than about 200 KB is therefore not recognised as one, and
// its text is reported as character data. Configuration documents never come
// near that size; raising the limit would let hostile markup cost that much
// more per '<'.
//
// Input is expected to be UTF-8. Bytes that are not valid UTF-8 never crash the
// scanner: they match no pattern item and are reported one byte at a time as
// character data.
#ifndef VRELAY_TEXTPROC_TPXML_H
#define VRELAY_TEXTPROC_TPXML_H

#include <cstddef>
#include <cstdint>

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

// Bytes of buffered input that a non-final parse call leaves unparsed.
constexpr int32_t KVTP_TPXML_MARGIN = 8192;
// Longest tag or attribute name, and longest attribute value, handed to the
// start handler; longer ones are cut to these many bytes.
constexpr int32_t KVTP_TPXML_MAX_NAME = 32;
constexpr int32_t KVTP_TPXML_MAX_VALUE = 2048;
// Number of patterns in the table (the table has one more, null, slot).
constexpr int32_t KVTP_TPXML_NO_REGEXS = 17;

// Pattern slots, in the order they are tried. Slots 14 to 16 are not used by
// the scanner; other readers borrow them.
enum KVTP_tpxml_slot : int32_t {
    KVTP_TPXML_COMMENT_START = 0,
    KVTP_TPXML_COMMENT_END = 1,
    KVTP_TPXML_CDATA_START = 2,
    KVTP_TPXML_CDATA_END = 3,
    KVTP_TPXML_HEAD = 4,
    KVTP_TPXML_DOCTYPE = 5,
    KVTP_TPXML_EMPTY = 6,
    KVTP_TPXML_CLOSE = 7,
    KVTP_TPXML_OPEN = 8,
    KVTP_TPXML_LOOSE_OPEN = 9,
    KVTP_TPXML_ENTITY = 10,
    KVTP_TPXML_WS = 11,
    KVTP_TPXML_TEXT = 12,
    KVTP_TPXML_CHAR = 13,
    KVTP_TPXML_VSPACE = 14,
    KVTP_TPXML_HSPACE = 15,
    KVTP_TPXML_OPERATOR = 16,
};

// Handlers. Their results are ignored. `atts` alternates names and values and
// ends with a null pointer; every string in it is NUL-terminated and valid
// until the handler returns. Character data and entities point into the
// scanner's buffer and are not NUL-terminated.
typedef int (*KVTP_tpxml_start_handler)(void* userdata, const char* name, const char** atts);
typedef int (*KVTP_tpxml_end_handler)(void* userdata, const char* name);
typedef int (*KVTP_tpxml_data_handler)(void* userdata, const char* text, int32_t len);
typedef int (*KVTP_tpxml_cdata_handler)(void* userdata);

struct KVTP_tpxml;

// A scanner with its patterns compiled; handlers and user data start null.
// Null when allocation fails. If the patterns cannot be compiled the scanner is
// still returned, and every parse call on it returns 0.
KVTP_tpxml* KVTP_tpxml_new();
// Null is accepted.
void KVTP_tpxml_delete(KVTP_tpxml* x);
// Attaches the process's shared pattern table, compiling it on first use
// (done by KVTP_tpxml_new). 1 on success or when already attached, 0 when a
// pattern cannot be compiled.
int KVTP_tpxml_setup_regex(KVTP_tpxml* x);
// Empties the input buffer and zeroes the positions. The comment and CDATA
// states are kept, so a reset inside a comment still drops text until "-->".
void KVTP_tpxml_reset(KVTP_tpxml* x);

void KVTP_tpxml_set_userdata(KVTP_tpxml* x, void* userdata);
void KVTP_tpxml_set_element_handler(KVTP_tpxml* x, KVTP_tpxml_start_handler start,
                                    KVTP_tpxml_end_handler end);
void KVTP_tpxml_set_character_data_handler(KVTP_tpxml* x, KVTP_tpxml_data_handler fn);
void KVTP_tpxml_set_entity_handler(KVTP_tpxml* x, KVTP_tpxml_data_handler fn);
void KVTP_tpxml_set_cdata_section_handler(KVTP_tpxml* x, KVTP_tpxml_cdata_handler start,
                                          KVTP_tpxml_cdata_handler end);

// Appends len bytes (negative: the string length) and scans. final != 0 scans
// everything buffered and empties the buffer; final == 0 scans only when more
// than the margin is buffered and keeps the unscanned rest. Returns 1, or 0
// (input ignored) when the pattern table is missing.
int KVTP_tpxml_parse(KVTP_tpxml* x, const char* data, int32_t len, int32_t final);

// Bytes and UTF-8 characters consumed since creation or the last reset.
int64_t KVTP_tpxml_byte_position(const KVTP_tpxml* x);
int64_t KVTP_tpxml_char_position(const KVTP_tpxml* x);

// The pattern table: KVTP_TPXML_NO_REGEXS compiled patterns and a null slot;
// null when compilation failed. The table is compiled once per process and
// shared read-only by every scanner: callers must neither free nor change
// it. The patterns are compiled with PCRE2_UTF, PCRE2_MATCH_INVALID_UTF (any subject bytes are safe
// to match) and PCRE2_ANCHORED (each already starts with "^").
pcre2_code** KVTP_tpxml_get_regexs(KVTP_tpxml* x);
// Non-null slots before the first null one (17, or 0 without a table).
int32_t KVTP_tpxml_get_no_compiled_regexs(const KVTP_tpxml* x);
// Compiled size in bytes of pattern i; 0 for a bad index or missing table.
size_t KVTP_tpxml_get_compiled_regex_sz(const KVTP_tpxml* x, int32_t i);
// Copies KVTP_tpxml_get_compiled_regex_sz bytes of compiled pattern i into buf.
// The copy is an image of this process's compiled pattern, meaningful only to
// the same library build. Returns 1, or 0 for a bad index or null buffer.
int KVTP_tpxml_get_compiled_regex(const KVTP_tpxml* x, int32_t i, void* buf);

// Reads one attribute `name = "value"` (or single quotes) from the start of
// text, within len bytes: leading white space is skipped, white space between
// the name and "=" and after "=" is allowed. The value is not unescaped.
// Returns the position just after the closing quote, or null when no further
// attribute can be read.
const char* KVTP_get_keyval(const char* text, int32_t len, const char** name, int32_t* name_len,
                            const char** value, int32_t* value_len);

#endif  // VRELAY_TEXTPROC_TPXML_H

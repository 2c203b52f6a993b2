// SPDX-License-Identifier: MIT
// Token, tag and spurt model of the text-processing library.
//
// Analysed text is a stream of tokens. Each token carries the markup around
// it as a list of tags (a copy of every element open on it, typed start, mid,
// end, startend, or closed for empty elements placed after it), and tokens are
// grouped into spurts: the speech between two pauses, whose first and last
// tokens hold the tags before and after the speech. All three kinds of object
// are recycled through a pool: an object is in use while its parent is set,
// and is released by clearing it; nothing is freed until the pool goes.
//
// Conventions: results are 1/0 or a pointer/null; null objects are accepted
// everywhere (setters give 0, getters null); a negative length means the
// string's own length. Strings returned point into the object and stay valid
// until it changes.
#ifndef VRELAY_TEXTPROC_TOX_H
#define VRELAY_TEXTPROC_TOX_H

#include <cstdint>

#include "textproc/toolkit/dystr.h"
#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/voidparray.h"

// Tag types.
constexpr int32_t KVTP_TOXTAG_START = 0;     // the element opens on this token
constexpr int32_t KVTP_TOXTAG_END = 1;       // the element closes on this token
constexpr int32_t KVTP_TOXTAG_MID = 2;       // the element spans this token
constexpr int32_t KVTP_TOXTAG_STARTEND = 3;  // opens and closes on this token
constexpr int32_t KVTP_TOXTAG_CLOSED = 4;    // an empty element after this token

// Token string entries.
constexpr int32_t KVTP_TOXTOKEN_TEXT = 0;
constexpr int32_t KVTP_TOXTOKEN_PREPUNC = 1;
constexpr int32_t KVTP_TOXTOKEN_PSTPUNC = 2;
constexpr int32_t KVTP_TOXTOKEN_RESERVED = 3;
constexpr int32_t KVTP_TOXTOKEN_POS = 4;
constexpr int32_t KVTP_TOXTOKEN_NSTRINGS = 5;
constexpr int32_t KVTP_TOXTOKEN_NFEATURES = 9;

struct KVTP_toxtoken;
struct KVTP_toxspurt;

struct KVTP_toxtag {
    KVTP_toxtoken* parent;  // the token holding the tag; null while free
    KVTP_toxtag* fellow;    // copy of the same element on an earlier token
    int32_t type;
    // Entry 0 is the element name, then attribute name, value, name, value...
    KVTP_dystrarray* attributes;
    int32_t special;  // the name is sig, prosody or usel (any case)
};

struct KVTP_toxtoken {
    KVTP_toxspurt* parent;        // owner; null while free
    KVTP_toxtoken* split_source;  // the token this one was split from
    int32_t id;                   // -1 when unset
    int32_t second_index;         // -1 when unset
    // Index into the tag list, kept in step with removals and insertions in
    // front of it; -1 when unset.
    int32_t tag_boundary;
    KVTP_dystrarray* strings;  // text, leading and trailing punctuation, reserved, part of speech
    KVTP_voidparray* tags;     // KVTP_toxtag*, in document order
    char features[KVTP_TOXTOKEN_NFEATURES];  // 't' or 0 each
    KVTP_dystr* norm;                        // normalised text
    KVTP_toxtoken* next;                     // next token of an expansion chain
};

struct KVTP_toxspurt {
    void* parent;  // owner; null while free
    int32_t id;
    char* jobid;  // owned copy, may be null
    int32_t reserved1;
    int32_t reserved2;
    int32_t phrases;
    int32_t phrase;
    int32_t utt_words;
    int32_t utt_syls;
    int32_t pre_syls;
    int32_t pre_words;
    int32_t pst_syls;
    int32_t pst_words;
    int32_t reserved3;
    KVTP_voidparray* tokens;  // KVTP_toxtoken*; first and last hold the pauses
};

struct KVTP_toxpool {
    KVTP_voidparray* spurts;
    int32_t spurt_cursor;  // index of the next object to hand out
    KVTP_voidparray* tokens;
    int32_t token_cursor;
    KVTP_voidparray* tags;
    int32_t tag_cursor;
};

// ---------------------------------------------------------------------------
// Tags.

// "start", "end", "mid", "startend", "closed"; "unknown" otherwise.
const char* KVTP_toxtag_typename(int32_t type);

// A free tag with an empty name. Null on failure.
KVTP_toxtag* KVTP_toxtag_new();
void KVTP_toxtag_delete(KVTP_toxtag* tag);
// One empty entry (the name) left; parent, fellow, type and special 0.
int KVTP_toxtag_clear(KVTP_toxtag* tag);
// Sets type, parent and name.
int KVTP_toxtag_init(KVTP_toxtag* tag, KVTP_toxtoken* parent, const char* name, int32_t len,
                     int32_t type);
// Sets the name, and the tag's marker flag from it.
int KVTP_toxtag_set_name(KVTP_toxtag* tag, const char* name, int32_t len);
const char* KVTP_toxtag_name(const KVTP_toxtag* tag);
// -1 for a null tag.
int32_t KVTP_toxtag_type(const KVTP_toxtag* tag);
KVTP_toxtoken* KVTP_toxtag_get_parent(const KVTP_toxtag* tag);
KVTP_toxtag* KVTP_toxtag_get_fellow(const KVTP_toxtag* tag);
int KVTP_toxtag_setparent(KVTP_toxtag* tag, KVTP_toxtoken* parent);
// Types start, startend and closed also drop the fellow link.
int KVTP_toxtag_settype(KVTP_toxtag* tag, int32_t type);
// Replaces the value of the first attribute whose name begins with the given
// name (so "time" also matches an existing "timeout"), else appends the pair.
// An empty name is refused (0).
int KVTP_toxtag_set_attrib(KVTP_toxtag* tag, const char* name, int32_t nlen, const char* value,
                           int32_t vlen);
int KVTP_toxtag_add_attrib(KVTP_toxtag* tag, const char* name, int32_t nlen, const char* value,
                           int32_t vlen);
// The value in decimal.
int KVTP_toxtag_set_attrib_int(KVTP_toxtag* tag, const char* name, int32_t len, int32_t value);
// The value with 3 digits after the point.
int KVTP_toxtag_set_attrib_float(KVTP_toxtag* tag, const char* name, int32_t len, float value);
// value / 10^decimals with exactly `decimals` fraction digits, or none when
// the fraction is 0: 1500 with 3 decimals is "1.500", 1005 "1.005", 2000
// "2". Decimals below 1: plain decimal; above 9 count as 9. A negative value
// is written as its sign and the text of its magnitude.
int KVTP_toxtag_set_attrib_fixedpoint(KVTP_toxtag* tag, const char* name, int32_t len,
                                      int32_t value, int32_t decimals);
// Value of the first attribute named exactly `name`, or null.
const char* KVTP_toxtag_val(const KVTP_toxtag* tag, const char* name);
// Attribute strings after the name (names plus values).
int32_t KVTP_toxtag_no_attribs(const KVTP_toxtag* tag);
// Removes every attribute, keeping the name.
int KVTP_toxtag_clear_attribs(KVTP_toxtag* tag);
// Copies type, special flag and attributes; dst's parent becomes null, its
// fellow stays.
int KVTP_toxtag_copy(const KVTP_toxtag* src, KVTP_toxtag* dst);
// Makes tag a closed "break" element with attributes type (decimal) and time
// (seconds with 3 decimals), replacing any attributes it had.
int KVTP_toxtag_newbreak(KVTP_toxtag* tag, KVTP_toxtoken* parent, int32_t breaktype,
                         int32_t milliseconds);
// Appends: name " " type " {" 'attr': 'value',... "}".
int KVTP_toxtag_print(const KVTP_toxtag* tag, KVTP_dystr* out);
// The same and a line break on standard output.
int KVTP_toxtag_printf(const KVTP_toxtag* tag);
KVTP_toxtag* KVTP_toxtag_cast(void* p);

// ---------------------------------------------------------------------------
// Tokens.

// A free token: empty strings, no tags, ids -1. Null on failure.
KVTP_toxtoken* KVTP_toxtoken_new();
// Clears and detaches its tags (they belong to the pool), then frees it.
void KVTP_toxtoken_delete(KVTP_toxtoken* token);
// Empties strings and tags (each tag cleared), parent and split source null,
// features 0, normalised text empty, ids and boundary -1; the next chain is
// cleared and unlinked.
int KVTP_toxtoken_clear(KVTP_toxtoken* token);

int KVTP_toxtoken_set(KVTP_toxtoken* token, const char* text, int32_t len);
int KVTP_toxtoken_append(KVTP_toxtoken* token, const char* text, int32_t len);
int KVTP_toxtoken_setprepunc(KVTP_toxtoken* token, const char* text, int32_t len);
int KVTP_toxtoken_setpstpunc(KVTP_toxtoken* token, const char* text, int32_t len);
const char* KVTP_toxtoken_get(const KVTP_toxtoken* token);
const char* KVTP_toxtoken_getprepunc(const KVTP_toxtoken* token);
const char* KVTP_toxtoken_getpstpunc(const KVTP_toxtoken* token);
const char* KVTP_toxtoken_getpos(const KVTP_toxtoken* token);
// Part of speech `tag`, followed by "_" and `subtag` when a non-empty subtag
// is given and tag has no "_" of its own.
int KVTP_toxtoken_setpos(KVTP_toxtoken* token, const char* tag, int32_t len, const char* subtag,
                         int32_t sublen);
// Feature byte idx (0..8) set ('t') or cleared; getfeat gives 1 or 0.
int KVTP_toxtoken_setfeat(KVTP_toxtoken* token, int32_t idx, int flag);
int KVTP_toxtoken_getfeat(const KVTP_toxtoken* token, int32_t idx);
int KVTP_toxtoken_set_norm(KVTP_toxtoken* token, const char* text, int32_t len);
const char* KVTP_toxtoken_getnorm(const KVTP_toxtoken* token);
int KVTP_toxtoken_norm_truncate(KVTP_toxtoken* token, int32_t len);
int KVTP_toxtoken_setid(KVTP_toxtoken* token, int32_t id);
int KVTP_toxtoken_setparent(KVTP_toxtoken* token, KVTP_toxspurt* parent);

// Tag i of an end or mid type gets the previous token's tag i (null when it
// has fewer) as fellow; all other tags, and all without a previous token, get
// none.
int KVTP_toxtoken_link(const KVTP_toxtoken* previous, KVTP_toxtoken* token);
// Append / insert first; both make the token the tag's parent.
int KVTP_toxtoken_addtag(KVTP_toxtoken* token, KVTP_toxtag* tag);
int KVTP_toxtoken_addtag_front(KVTP_toxtoken* token, KVTP_toxtag* tag);
// Detaches and removes the tag (not cleared). 1 if it was found.
int KVTP_toxtoken_removetag(KVTP_toxtoken* token, KVTP_toxtag* tag);
// Clears and removes every tag of that name; returns how many.
int32_t KVTP_toxtoken_removetag_named(KVTP_toxtoken* token, const char* name);
// Removes the other tags named like tag, then appends it.
int KVTP_toxtoken_replacetag(KVTP_toxtoken* token, KVTP_toxtag* tag);
// Moves the tag (from wherever it is in this token) to position pos, clamped
// to the list; negative: the end.
int KVTP_toxtoken_move_tag(KVTP_toxtoken* token, KVTP_toxtag* tag, int32_t pos);
// The tags become the non-null entries of list, each reparented; tags that
// are dropped are detached.
int KVTP_toxtoken_replace_tags(KVTP_toxtoken* token, const KVTP_voidparray* list);

// Queries, all searching from the last tag backwards. A null name (attribute,
// value) matches any.
KVTP_toxtag* KVTP_toxtoken_gettag(const KVTP_toxtoken* token, const char* name);
const char* KVTP_toxtoken_tagval(const KVTP_toxtoken* token, const char* name, const char* attrib);
KVTP_toxtag* KVTP_toxtoken_gettag_attrib(const KVTP_toxtoken* token, const char* name,
                                         const char* attrib, const char* value);
// The last tag named like `tag` that has every attribute of it, equal.
KVTP_toxtag* KVTP_toxtoken_gettag_match(const KVTP_toxtoken* token, const KVTP_toxtag* tag);
// Appends the attribute to every tag of that name lacking it (exact name:
// "gendered" does not count as "gender"); returns how many.
int32_t KVTP_toxtoken_setdefault_tagval(KVTP_toxtoken* token, const char* name, const char* attrib,
                                        const char* value);
int32_t KVTP_toxtoken_notags(const KVTP_toxtoken* token);
KVTP_toxtag* KVTP_toxtoken_tagidx(const KVTP_toxtoken* token, int32_t i);
// Reads the "name" value of the last "mark" tag that has one as four fields
// separated by its first three "_" (each read as a decimal integer; a field
// that is missing gives -1). 0 and all four -1 without such a tag.
int KVTP_toxtoken_getcharpos(const KVTP_toxtoken* token, int32_t* a, int32_t* b, int32_t* c,
                             int32_t* d);
// 0 when the last "lex" tag has a non-empty "spron", else 1.
int KVTP_toxtoken_issilent(const KVTP_toxtoken* token);
// Number of "|" in the last "lex" tag's "spron", at least 1; 0 when the token
// has no lex tag with a spron.
int32_t KVTP_toxtoken_nsyl(const KVTP_toxtoken* token);

// Splitting, for the pipeline. toxtag_split takes a copy of an element tag
// from the pool, linked to it as fellow, and divides the element between the
// two (the original keeps the opening, the copy the closing). toxtoken_split
// takes a new token from the pool (same parent and id, split source set) that
// gets the trailing punctuation, a split copy of every element tag and the
// closed tags; the original's tag boundary becomes its tag count. The caller
// places the new token in its spurt.
KVTP_toxtag* KVTP_toxtag_split(KVTP_toxtag* tag, KVTP_toxpool* pool);
KVTP_toxtoken* KVTP_toxtoken_split(KVTP_toxtoken* token, KVTP_toxpool* pool);
// Clears and removes the tags from the tag boundary on (tags added after a
// split); returns how many. Nothing when the boundary is unset.
int32_t KVTP_toxtoken_truncate(KVTP_toxtoken* token);

// One-line debug dump of the token and the tokens of its next chain.
int KVTP_toxtoken_print(const KVTP_toxtoken* token, KVTP_dystr* out);
int KVTP_toxtoken_printf(const KVTP_toxtoken* token);
KVTP_toxtoken* KVTP_toxtoken_cast(void* p);

// ---------------------------------------------------------------------------
// Spurts.

KVTP_toxspurt* KVTP_toxspurt_new();
// Frees the spurt; its tokens (owned by the pool) are detached from it.
void KVTP_toxspurt_delete(KVTP_toxspurt* spurt);
// Clears every token, empties the list, zeroes parent, id and counters; the
// job id stays.
int KVTP_toxspurt_clear(KVTP_toxspurt* spurt);
// Appends the token and makes the spurt its parent.
int KVTP_toxspurt_add(KVTP_toxspurt* spurt, KVTP_toxtoken* token);
KVTP_voidparray* KVTP_toxspurt_tokens(const KVTP_toxspurt* spurt);
int KVTP_toxspurt_setparent(KVTP_toxspurt* spurt, void* parent);
int KVTP_toxspurt_setid(KVTP_toxspurt* spurt, int32_t id);
// -1 for a null spurt.
int32_t KVTP_toxspurt_getid(const KVTP_toxspurt* spurt);
// Keeps a copy (len < 0: the string); null removes it.
int KVTP_toxspurt_set_jobid(KVTP_toxspurt* spurt, const char* jobid, int32_t len);
const char* KVTP_toxspurt_get_jobid(const KVTP_toxspurt* spurt);
KVTP_toxspurt* KVTP_toxspurt_cast(void* p);

// Writes the spurt as an XML document into out (emptied first; nothing for a
// spurt without tokens): its leading pause, a speech element with the tokens'
// markup and normalised text, and its trailing pause. A spurt of one token is
// written as two halves of its pause around an empty speech element.
int KVTP_toxspurt_xml(const KVTP_toxspurt* spurt, KVTP_dystr* out);

// ---------------------------------------------------------------------------
// Streams: a token stream is a voidparray of tokens, a spurt stream one of
// spurts. A real token has a non-empty normalised text.

// The first real token at or after idx, or null / -1.
KVTP_toxtoken* KVTP_toxstream_next_realtk(const KVTP_voidparray* stream, int32_t idx);
int32_t KVTP_toxstream_next_realtkidx(const KVTP_voidparray* stream, int32_t idx);
// The first real token at or before idx, or null.
KVTP_toxtoken* KVTP_toxstream_prev_realtk(const KVTP_voidparray* stream, int32_t idx);
// Index of the last real token, looking no lower than index 1; 0 if none.
int32_t KVTP_toxstream_last_realtk(const KVTP_voidparray* stream);
// Clears every token / every spurt.
int KVTP_toxstream_release_tox(KVTP_voidparray* stream);
int KVTP_toxspstream_release_tox(KVTP_voidparray* stream);
int KVTP_toxstream_print(const KVTP_voidparray* stream, KVTP_dystr* out);
int KVTP_toxstream_printf(const KVTP_voidparray* stream);
// Each spurt's tokens, then "PHRASE p of n" (or "PHRASE" when n is 0).
int KVTP_toxspstream_print(const KVTP_voidparray* stream, KVTP_dystr* out);
int KVTP_toxspstream_printf(const KVTP_voidparray* stream);

// ---------------------------------------------------------------------------
// Pool.

// That many objects of each kind. Null on failure.
KVTP_toxpool* KVTP_toxpool_new(int32_t spurts, int32_t tokens, int32_t tags);
void KVTP_toxpool_delete(KVTP_toxpool* pool);
// Clears every object and rewinds the cursors.
int KVTP_toxpool_clear(KVTP_toxpool* pool);
// Hand out the object at the cursor and move the cursor on to the next free
// one; when none is free the pool grows by one object, handed out next. An
// object still in use is handed out anyway with a CRITICAL line on standard
// error. Null only when the pool holds no object of that kind.
KVTP_toxspurt* KVTP_toxpool_spurt(KVTP_toxpool* pool);
KVTP_toxtoken* KVTP_toxpool_token(KVTP_toxpool* pool);
KVTP_toxtag* KVTP_toxpool_tag(KVTP_toxpool* pool);

#endif  // VRELAY_TEXTPROC_TOX_H

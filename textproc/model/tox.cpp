// SPDX-License-Identifier: MIT
#include "textproc/model/tox.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/string_ops.h"

namespace {

constexpr int32_t kTagReserve = 256;
constexpr int32_t kTokenStringReserve = 64;
constexpr int32_t kTagListReserve = 8;
constexpr int32_t kTagListStep = 8;
constexpr int32_t kTagListKeep = 64;
constexpr int32_t kNormReserve = 64;
constexpr int32_t kSpurtTokenReserve = 128;
constexpr int32_t kSpurtTokenStep = 16;
constexpr int32_t kSpurtTokenKeep = 1024;
constexpr int32_t kNumberBuffer = 32;
// Guards the debug dump against a next chain that loops back.
constexpr int32_t kMaxChain = 4096;

bool Equal(const char* a, const char* b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

bool IsNamed(const KVTP_toxtag* tag, const char* name) {
    return Equal(KVTP_toxtag_name(tag), name);
}

KVTP_toxtag* TagAt(const KVTP_toxtoken* token, int32_t i) {
    return static_cast<KVTP_toxtag*>(KVTP_voidparray_idx(token->tags, i));
}

int32_t TagCount(const KVTP_toxtoken* token) {
    return KVTP_voidparray_sz(token->tags);
}

int32_t IndexOfTag(const KVTP_toxtoken* token, const KVTP_toxtag* tag) {
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        if (TagAt(token, i) == tag) {
            return i;
        }
    }
    return -1;
}

// Walks the attribute pairs of a tag; f(name, value) returns false to stop.
template <typename F>
void ForEachAttrib(const KVTP_toxtag* tag, F f) {
    const char* name = KVTP_dystrarray_idx(tag->attributes, 1);
    while (name != nullptr) {
        const char* value = KVTP_dystrarray_next(tag->attributes, name);
        if (!f(name, value != nullptr ? value : "")) {
            return;
        }
        if (value == nullptr) {
            return;
        }
        name = KVTP_dystrarray_next(tag->attributes, value);
    }
}

void Append(KVTP_dystr* out, const char* text) {
    KVTP_dystr_append(out, text != nullptr ? text : "", -1);
}

void AppendTabs(KVTP_dystr* out, int32_t depth) {
    for (int32_t i = 0; i < depth; ++i) {
        KVTP_dystr_append(out, "\t", 1);
    }
}

int PrintToStdout(const KVTP_dystr* text) {
    std::fputs(KVTP_dystr_cstr(text), stdout);
    return 1;
}

// Removes tag i, keeping the boundary on the same tag.
void RemoveAt(KVTP_toxtoken* token, int32_t i) {
    KVTP_voidparray_delete_range(token->tags, i, 1);
    if (token->tag_boundary > i) {
        --token->tag_boundary;
    }
}

// Inserts the tag at pos (clamped), keeping the boundary on the same tag.
int InsertAt(KVTP_toxtoken* token, KVTP_toxtag* tag, int32_t pos) {
    const int32_t n = TagCount(token);
    if (pos < 0 || pos > n) {
        pos = n;
    }
    if (!KVTP_voidparray_insert_item(token->tags, tag, pos)) {
        return 0;
    }
    if (token->tag_boundary > pos) {
        ++token->tag_boundary;
    }
    tag->parent = token;
    return 1;
}

void FreeTag(KVTP_toxtag* tag) {
    if (tag != nullptr) {
        KVTP_dystrarray_delete(tag->attributes);
        KVTP_free(tag);
    }
}

// Frees a token's own storage without touching its tags or next chain.
void FreeToken(KVTP_toxtoken* token) {
    if (token != nullptr) {
        KVTP_dystrarray_delete(token->strings);
        KVTP_voidparray_delete(token->tags);
        KVTP_dystr_delete(token->norm);
        KVTP_free(token);
    }
}

void FreeSpurt(KVTP_toxspurt* spurt) {
    if (spurt != nullptr) {
        KVTP_voidparray_delete(spurt->tokens);
        KVTP_free(spurt->jobid);
        KVTP_free(spurt);
    }
}

// Clears one token without following its next chain.
void ClearTokenSelf(KVTP_toxtoken* token) {
    KVTP_dystrarray_clear(token->strings, KVTP_TOXTOKEN_NSTRINGS);
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtag_clear(TagAt(token, i));
    }
    KVTP_voidparray_clear(token->tags);
    token->parent = nullptr;
    token->split_source = nullptr;
    std::memset(token->features, 0, sizeof token->features);
    KVTP_dystr_clear(token->norm);
    token->id = -1;
    token->second_index = -1;
    token->tag_boundary = -1;
}

// ---------------------------------------------------------------------------
// Spurt writer.

// Writes a value with every apostrophe as &apos;.
void AppendQuoted(KVTP_dystr* out, const char* value) {
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == '\'') {
            KVTP_dystr_append(out, "&apos;", 6);
        } else {
            KVTP_dystr_append(out, p, 1);
        }
    }
}

// A pronunciation as phonemes: "+" and "_" separate phonemes, "|" syllables.
void AppendPhonemes(KVTP_dystr* out, const char* spron) {
    for (const char* p = spron; *p != '\0'; ++p) {
        switch (*p) {
            case '+':
            case '_':
                KVTP_dystr_append(out, " ", 1);
                break;
            case '|':
                KVTP_dystr_append(out, " . ", 3);
                break;
            case '\'':
                KVTP_dystr_append(out, "&apos;", 6);
                break;
            default:
                KVTP_dystr_append(out, p, 1);
        }
    }
}

void AppendOpeningTag(KVTP_dystr* out, const KVTP_toxtag* tag, const char* pos) {
    const char* name = KVTP_toxtag_name(tag);
    KVTP_dystr_append2(out, "<", 1, name, -1);
    const bool lex = Equal(name, "lex");
    const char* spron = nullptr;
    if (lex) {
        spron = KVTP_toxtag_val(tag, "spron");
        if (pos != nullptr && *pos != '\0') {
            KVTP_dystr_append3(out, " pos='", -1, pos, -1, "'", 1);
        }
    }
    ForEachAttrib(tag, [&](const char* attr, const char* value) {
        if (Equal(attr, "spron") || Equal(attr, "pos")) {
            return true;
        }
        if (lex && spron != nullptr && Equal(attr, "phonemes")) {
            KVTP_dystr_append(out, " phonemes='", -1);
            AppendPhonemes(out, spron);
        } else {
            KVTP_dystr_append3(out, " ", 1, attr, -1, "='", 2);
            AppendQuoted(out, value);
        }
        KVTP_dystr_append(out, "'", 1);
        return true;
    });
    Append(out, tag->type == KVTP_TOXTAG_CLOSED ? "/>" : ">");
}

void WritePause(KVTP_dystr* out, const KVTP_toxtoken* token, bool leading) {
    Append(out, "\t<pause>\n\t\t");
    bool sawBreak = false;
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        const KVTP_toxtag* tag = TagAt(token, i);
        if (IsNamed(tag, "mark") && tag->type == KVTP_TOXTAG_CLOSED) {
            // Trailing marks before the first break were written with the
            // last token inside the speech element.
            if (leading || sawBreak) {
                Append(out, "\n\t\t");
                AppendOpeningTag(out, tag, nullptr);
            }
        } else if (IsNamed(tag, "break")) {
            AppendOpeningTag(out, tag, nullptr);
            sawBreak = true;
        } else if (IsNamed(tag, "nzaudio")) {
            AppendOpeningTag(out, tag, nullptr);
        }
    }
    Append(out, "\n\t</pause>\n");
}

// A spurt of one token: its pause split in two halves at the last break,
// around an empty speech element.
void WriteEmptySpurt(KVTP_dystr* out, const KVTP_toxtoken* token) {
    int32_t breaks = 0;
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        breaks += IsNamed(TagAt(token, i), "break") ? 1 : 0;
    }
    Append(out, "\t<pause>\n\t\t");
    int32_t seen = 0;
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtag* tag = TagAt(token, i);
        if (IsNamed(tag, "mark") || IsNamed(tag, "nzaudio")) {
            AppendOpeningTag(out, tag, nullptr);
        } else if (IsNamed(tag, "break")) {
            if (++seen < breaks) {
                AppendOpeningTag(out, tag, nullptr);
                continue;
            }
            // The tag is the caller's: its attributes are given back byte for
            // byte afterwards, so a break without a time stays without one.
            KVTP_array* attributes = tag->attributes;
            const std::string saved(attributes->data == nullptr ? "" : attributes->data,
                                    static_cast<size_t>(attributes->count));
            const char* time = KVTP_toxtag_val(tag, "time");
            const int32_t ms = time != nullptr ? KVTP_atoifp(time, -1, 3) : 0;
            KVTP_toxtag_set_attrib_fixedpoint(tag, "time", -1, ms / 2, 3);
            AppendOpeningTag(out, tag, nullptr);
            Append(out, "\n\t</pause>\n\t<speech>\n\t</speech>\n\t<pause>\n\t\t");
            AppendOpeningTag(out, tag, nullptr);
            // Never larger than what the array holds now: no allocation.
            KVTP_array_replace(attributes, saved.data(), static_cast<int32_t>(saved.size()));
        }
    }
    Append(out, "\n\t</pause>\n</spurt>\n");
}

void WriteToken(KVTP_dystr* out, const KVTP_toxtoken* token, int32_t* depth) {
    const char* pos = KVTP_toxtoken_getpos(token);
    const int32_t n = TagCount(token);
    bool commented = false;
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtag* tag = TagAt(token, i);
        if (IsNamed(tag, "break")) {
            continue;
        }
        const char* name = KVTP_toxtag_name(tag);
        if (name == nullptr || *name == '\0') {
            // Keeps the document well formed when a tag lost its name.
            KVTP_toxtag_set_name(tag, "xmlfixemptyopen", -1);
            KVTP_toxtag_settype(tag, KVTP_TOXTAG_STARTEND);
        } else if (tag->type != KVTP_TOXTAG_START && tag->type != KVTP_TOXTAG_STARTEND) {
            continue;
        }
        AppendTabs(out, *depth);
        // A lexicon entry without a pronunciation is kept only as a comment.
        if (IsNamed(tag, "lex") && KVTP_toxtag_val(tag, "spron") == nullptr) {
            Append(out, "<!--");
            commented = true;
        }
        AppendOpeningTag(out, tag, pos);
        ++*depth;
        Append(out, "\n");
    }
    const char* norm = KVTP_toxtoken_getnorm(token);
    if (norm != nullptr && *norm != '\0') {
        AppendTabs(out, *depth);
        KVTP_dystr_append2(out, norm, -1, "\n", 1);
    }
    for (int32_t i = n - 1; i >= 0; --i) {
        const KVTP_toxtag* tag = TagAt(token, i);
        if (tag->type != KVTP_TOXTAG_END && tag->type != KVTP_TOXTAG_STARTEND) {
            continue;
        }
        --*depth;
        AppendTabs(out, *depth);
        KVTP_dystr_append3(out, "</", 2, KVTP_toxtag_name(tag), -1, ">", 1);
        if (commented && IsNamed(tag, "lex")) {
            Append(out, "-->");
        }
        Append(out, "\n");
    }
    for (int32_t i = 0; i < n; ++i) {
        const KVTP_toxtag* tag = TagAt(token, i);
        if (IsNamed(tag, "break")) {
            break;
        }
        if (tag->type == KVTP_TOXTAG_CLOSED) {
            AppendTabs(out, *depth);
            AppendOpeningTag(out, tag, nullptr);
            Append(out, "\n");
        }
    }
}

// ---------------------------------------------------------------------------
// Pool.

void PoolWarn(const char* kind) {
    std::fprintf(stderr, "CRITICAL: pool returns a %s already in use.\n", kind);
}

template <typename T>
bool InUse(const T* object) {
    return object->parent != nullptr;
}

// Hands out the object at the cursor and moves the cursor to the next free
// one, growing the array by one object when none is free.
template <typename T>
T* HandOut(KVTP_voidparray* objects, int32_t* cursor, T* (*make)(), void (*destroy)(T*),
           const char* kind) {
    const int32_t count = KVTP_voidparray_sz(objects);
    if (*cursor < 0 || *cursor >= count) {
        return nullptr;
    }
    T* candidate = static_cast<T*>(KVTP_voidparray_idx(objects, *cursor));
    bool found = false;
    for (int32_t step = 0; step < count - 1; ++step) {
        *cursor = (*cursor + 1) % count;
        if (!InUse(static_cast<T*>(KVTP_voidparray_idx(objects, *cursor)))) {
            found = true;
            break;
        }
    }
    if (!found) {
        T* fresh = make();
        if (fresh != nullptr && KVTP_voidparray_add(objects, fresh)) {
            *cursor = count;
        } else {
            // Out of memory: stay on the candidate rather than run off the end.
            destroy(fresh);
        }
    }
    if (InUse(candidate)) {
        PoolWarn(kind);
    }
    return candidate;
}

template <typename T>
bool Fill(KVTP_voidparray* objects, int32_t n, T* (*make)(), void (*destroy)(T*)) {
    for (int32_t i = 0; i < n; ++i) {
        T* object = make();
        if (object == nullptr) {
            return false;
        }
        if (!KVTP_voidparray_add(objects, object)) {
            destroy(object);
            return false;
        }
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Tags.

const char* KVTP_toxtag_typename(int32_t type) {
    static const char* const kNames[] = {"start", "end", "mid", "startend", "closed"};
    return type >= 0 && type <= KVTP_TOXTAG_CLOSED ? kNames[type] : "unknown";
}

KVTP_toxtag* KVTP_toxtag_new() {
    KVTP_toxtag* tag = static_cast<KVTP_toxtag*>(KVTP_malloc(sizeof(KVTP_toxtag)));
    if (tag == nullptr) {
        return nullptr;
    }
    tag->attributes = KVTP_dystrarray_newcustom(1, kTagReserve, 2, 64, 512);
    if (tag->attributes == nullptr) {
        KVTP_free(tag);
        return nullptr;
    }
    return tag;
}

void KVTP_toxtag_delete(KVTP_toxtag* tag) {
    FreeTag(tag);
}

int KVTP_toxtag_clear(KVTP_toxtag* tag) {
    if (tag == nullptr) {
        return 0;
    }
    KVTP_dystrarray_clear(tag->attributes, 1);
    tag->parent = nullptr;
    tag->fellow = nullptr;
    tag->type = 0;
    tag->special = 0;
    return 1;
}

int KVTP_toxtag_init(KVTP_toxtag* tag, KVTP_toxtoken* parent, const char* name, int32_t len,
                     int32_t type) {
    if (tag == nullptr) {
        return 0;
    }
    tag->type = type;
    tag->parent = parent;
    return KVTP_toxtag_set_name(tag, name, len);
}

int KVTP_toxtag_set_name(KVTP_toxtag* tag, const char* name, int32_t len) {
    if (tag == nullptr) {
        return 0;
    }
    if (!KVTP_dystrarray_replace(tag->attributes, 0, name != nullptr ? name : "", len)) {
        return 0;
    }
    const char* stored = KVTP_toxtag_name(tag);
    tag->special = KVTP_strcmp_nocase(stored, "sig") || KVTP_strcmp_nocase(stored, "prosody") ||
                           KVTP_strcmp_nocase(stored, "usel")
                       ? 1
                       : 0;
    return 1;
}

const char* KVTP_toxtag_name(const KVTP_toxtag* tag) {
    return tag == nullptr ? nullptr : KVTP_dystrarray_idx(tag->attributes, 0);
}

int32_t KVTP_toxtag_type(const KVTP_toxtag* tag) {
    return tag == nullptr ? -1 : tag->type;
}

KVTP_toxtoken* KVTP_toxtag_get_parent(const KVTP_toxtag* tag) {
    return tag == nullptr ? nullptr : tag->parent;
}

KVTP_toxtag* KVTP_toxtag_get_fellow(const KVTP_toxtag* tag) {
    return tag == nullptr ? nullptr : tag->fellow;
}

int KVTP_toxtag_setparent(KVTP_toxtag* tag, KVTP_toxtoken* parent) {
    if (tag == nullptr) {
        return 0;
    }
    tag->parent = parent;
    return 1;
}

int KVTP_toxtag_settype(KVTP_toxtag* tag, int32_t type) {
    if (tag == nullptr) {
        return 0;
    }
    tag->type = type;
    // An element that opens here, or an empty one, has no earlier copy.
    if (type == KVTP_TOXTAG_START || type == KVTP_TOXTAG_STARTEND || type == KVTP_TOXTAG_CLOSED) {
        tag->fellow = nullptr;
    }
    return 1;
}

namespace {

// Appends a name/value pair: both entries or neither.
int AppendAttrib(KVTP_toxtag* tag, const char* name, int32_t nlen, const char* value,
                 int32_t vlen) {
    if (!KVTP_dystrarray_add(tag->attributes, name, nlen)) {
        return 0;
    }
    if (!KVTP_dystrarray_add(tag->attributes, value == nullptr ? "" : value, vlen)) {
        KVTP_dystrarray_remove(tag->attributes, KVTP_dystrarray_sz(tag->attributes) - 1);
        return 0;
    }
    return 1;
}

}  // namespace

int KVTP_toxtag_set_attrib(KVTP_toxtag* tag, const char* name, int32_t nlen, const char* value,
                           int32_t vlen) {
    if (tag == nullptr || name == nullptr) {
        return 0;
    }
    if (value == nullptr) {
        value = "";
        vlen = 0;
    }
    const int32_t n = KVTP_strnlen(name, nlen);
    if (n == 0) {
        // Refused: by the prefix rule an empty name would overwrite the first
        // attribute whatever its name, and an appended nameless attribute
        // would make the spurt XML ill-formed.
        return 0;
    }
    // Searched from the first attribute; a prefix match counts.
    int32_t index = 1;
    int32_t found = -1;
    ForEachAttrib(tag, [&](const char* attr, const char*) {
        if (std::strncmp(attr, name, static_cast<size_t>(n)) == 0) {
            found = index + 1;
            return false;
        }
        index += 2;
        return true;
    });
    if (found > 0) {
        return KVTP_dystrarray_replace(tag->attributes, found, value, vlen);
    }
    return AppendAttrib(tag, name, n, value, vlen);
}

int KVTP_toxtag_add_attrib(KVTP_toxtag* tag, const char* name, int32_t nlen, const char* value,
                           int32_t vlen) {
    return KVTP_toxtag_set_attrib(tag, name, nlen, value, vlen);
}

int KVTP_toxtag_set_attrib_int(KVTP_toxtag* tag, const char* name, int32_t len, int32_t value) {
    char text[kNumberBuffer];
    if (!KVTP_itoa(value, text, sizeof text)) {
        return 0;
    }
    return KVTP_toxtag_set_attrib(tag, name, len, text, -1);
}

int KVTP_toxtag_set_attrib_float(KVTP_toxtag* tag, const char* name, int32_t len, float value) {
    char text[64];
    if (!KVTP_ftoa(value, text, sizeof text, 3, "f")) {
        return 0;
    }
    return KVTP_toxtag_set_attrib(tag, name, len, text, -1);
}

int KVTP_toxtag_set_attrib_fixedpoint(KVTP_toxtag* tag, const char* name, int32_t len,
                                      int32_t value, int32_t decimals) {
    if (decimals < 1) {
        return KVTP_toxtag_set_attrib_int(tag, name, len, value);
    }
    if (decimals > 9) {
        decimals = 9;
    }
    int64_t divisor = 1;
    for (int32_t i = 0; i < decimals; ++i) {
        divisor *= 10;
    }
    const bool negative = value < 0;
    const int64_t magnitude = negative ? -static_cast<int64_t>(value) : value;
    const int64_t whole = magnitude / divisor;
    const int64_t fraction = magnitude % divisor;
    char text[kNumberBuffer * 2];
    if (fraction == 0) {
        std::snprintf(text, sizeof text, "%s%lld", negative ? "-" : "",
                      static_cast<long long>(whole));
    } else {
        std::snprintf(text, sizeof text, "%s%lld.%0*lld", negative ? "-" : "",
                      static_cast<long long>(whole), static_cast<int>(decimals),
                      static_cast<long long>(fraction));
    }
    return KVTP_toxtag_set_attrib(tag, name, len, text, -1);
}

const char* KVTP_toxtag_val(const KVTP_toxtag* tag, const char* name) {
    if (tag == nullptr || name == nullptr) {
        return nullptr;
    }
    const char* result = nullptr;
    ForEachAttrib(tag, [&](const char* attr, const char* value) {
        if (std::strcmp(attr, name) == 0) {
            result = value;
            return false;
        }
        return true;
    });
    return result;
}

int32_t KVTP_toxtag_no_attribs(const KVTP_toxtag* tag) {
    if (tag == nullptr) {
        return 0;
    }
    const int32_t n = KVTP_dystrarray_sz(tag->attributes);
    return n > 0 ? n - 1 : 0;
}

int KVTP_toxtag_clear_attribs(KVTP_toxtag* tag) {
    if (tag == nullptr) {
        return 0;
    }
    const char* name = KVTP_toxtag_name(tag);
    const std::string saved = name != nullptr ? name : "";
    if (!KVTP_dystrarray_clear(tag->attributes, 1)) {
        return 0;
    }
    return KVTP_dystrarray_replace(tag->attributes, 0, saved.c_str(), -1);
}

int KVTP_toxtag_copy(const KVTP_toxtag* src, KVTP_toxtag* dst) {
    if (src == nullptr || dst == nullptr) {
        return 0;
    }
    if (src == dst) {
        dst->parent = nullptr;
        return 1;
    }
    if (!KVTP_dystrarray_copy(dst->attributes, src->attributes)) {
        return 0;
    }
    dst->type = src->type;
    dst->special = src->special;
    dst->parent = nullptr;
    return 1;
}

int KVTP_toxtag_newbreak(KVTP_toxtag* tag, KVTP_toxtoken* parent, int32_t breaktype,
                         int32_t milliseconds) {
    if (tag == nullptr) {
        return 0;
    }
    if (!KVTP_toxtag_init(tag, parent, "break", -1, KVTP_TOXTAG_CLOSED) ||
        !KVTP_toxtag_clear_attribs(tag)) {
        return 0;
    }
    tag->fellow = nullptr;
    return KVTP_toxtag_set_attrib_int(tag, "type", -1, breaktype) &&
           KVTP_toxtag_set_attrib_fixedpoint(tag, "time", -1, milliseconds, 3);
}

int KVTP_toxtag_print(const KVTP_toxtag* tag, KVTP_dystr* out) {
    if (tag == nullptr || out == nullptr) {
        return 0;
    }
    KVTP_dystr_append4(out, KVTP_toxtag_name(tag), -1, " ", 1, KVTP_toxtag_typename(tag->type), -1,
                       " {", 2);
    bool first = true;
    ForEachAttrib(tag, [&](const char* attr, const char* value) {
        if (!first) {
            Append(out, ",");
        }
        first = false;
        KVTP_dystr_append4(out, "'", 1, attr, -1, "': '", 4, value, -1);
        Append(out, "'");
        return true;
    });
    Append(out, "}");
    return 1;
}

int KVTP_toxtag_printf(const KVTP_toxtag* tag) {
    KVTP_dystr* out = KVTP_dystr_new(nullptr, 256);
    const int ok = KVTP_toxtag_print(tag, out) && KVTP_dystr_append(out, "\n", 1);
    if (ok) {
        PrintToStdout(out);
    }
    KVTP_dystr_delete(out);
    return ok;
}

KVTP_toxtag* KVTP_toxtag_cast(void* p) {
    return static_cast<KVTP_toxtag*>(p);
}

// ---------------------------------------------------------------------------
// Tokens.

KVTP_toxtoken* KVTP_toxtoken_new() {
    KVTP_toxtoken* token = static_cast<KVTP_toxtoken*>(KVTP_malloc(sizeof(KVTP_toxtoken)));
    if (token == nullptr) {
        return nullptr;
    }
    token->strings =
        KVTP_dystrarray_newcustom(KVTP_TOXTOKEN_NSTRINGS, kTokenStringReserve, 2, 64, 512);
    token->tags = KVTP_voidparray_newcustom(kTagListReserve, kTagListStep, kTagListKeep);
    token->norm = KVTP_dystr_new(nullptr, kNormReserve);
    if (token->strings == nullptr || token->tags == nullptr || token->norm == nullptr) {
        FreeToken(token);
        return nullptr;
    }
    token->id = -1;
    token->second_index = -1;
    token->tag_boundary = -1;
    return token;
}

void KVTP_toxtoken_delete(KVTP_toxtoken* token) {
    if (token == nullptr) {
        return;
    }
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtag_clear(TagAt(token, i));
    }
    FreeToken(token);
}

int KVTP_toxtoken_clear(KVTP_toxtoken* token) {
    if (token == nullptr) {
        return 0;
    }
    ClearTokenSelf(token);
    // The next chain is unlinked before it is cleared, so a chain that loops
    // back ends here.
    KVTP_toxtoken* next = token->next;
    token->next = nullptr;
    while (next != nullptr) {
        KVTP_toxtoken* after = next->next;
        next->next = nullptr;
        ClearTokenSelf(next);
        next = after;
    }
    return 1;
}

namespace {

int SetString(KVTP_toxtoken* token, int32_t entry, const char* text, int32_t len) {
    if (token == nullptr) {
        return 0;
    }
    return KVTP_dystrarray_replace(token->strings, entry, text != nullptr ? text : "", len);
}

const char* GetString(const KVTP_toxtoken* token, int32_t entry) {
    return token == nullptr ? nullptr : KVTP_dystrarray_idx(token->strings, entry);
}

}  // namespace

int KVTP_toxtoken_set(KVTP_toxtoken* token, const char* text, int32_t len) {
    return SetString(token, KVTP_TOXTOKEN_TEXT, text, len);
}

int KVTP_toxtoken_append(KVTP_toxtoken* token, const char* text, int32_t len) {
    if (token == nullptr) {
        return 0;
    }
    return KVTP_dystrarray_append(token->strings, KVTP_TOXTOKEN_TEXT, text != nullptr ? text : "",
                                  len);
}

int KVTP_toxtoken_setprepunc(KVTP_toxtoken* token, const char* text, int32_t len) {
    return SetString(token, KVTP_TOXTOKEN_PREPUNC, text, len);
}

int KVTP_toxtoken_setpstpunc(KVTP_toxtoken* token, const char* text, int32_t len) {
    return SetString(token, KVTP_TOXTOKEN_PSTPUNC, text, len);
}

const char* KVTP_toxtoken_get(const KVTP_toxtoken* token) {
    return GetString(token, KVTP_TOXTOKEN_TEXT);
}

const char* KVTP_toxtoken_getprepunc(const KVTP_toxtoken* token) {
    return GetString(token, KVTP_TOXTOKEN_PREPUNC);
}

const char* KVTP_toxtoken_getpstpunc(const KVTP_toxtoken* token) {
    return GetString(token, KVTP_TOXTOKEN_PSTPUNC);
}

const char* KVTP_toxtoken_getpos(const KVTP_toxtoken* token) {
    return GetString(token, KVTP_TOXTOKEN_POS);
}

int KVTP_toxtoken_setpos(KVTP_toxtoken* token, const char* tag, int32_t len, const char* subtag,
                         int32_t sublen) {
    if (!SetString(token, KVTP_TOXTOKEN_POS, tag, len)) {
        return 0;
    }
    if (subtag == nullptr || KVTP_strnlen(subtag, sublen) == 0) {
        return 1;
    }
    if (std::strchr(KVTP_toxtoken_getpos(token), '_') != nullptr) {
        return 1;
    }
    return KVTP_dystrarray_append(token->strings, KVTP_TOXTOKEN_POS, "_", 1) &&
           KVTP_dystrarray_append(token->strings, KVTP_TOXTOKEN_POS, subtag, sublen);
}

int KVTP_toxtoken_setfeat(KVTP_toxtoken* token, int32_t idx, int flag) {
    if (token == nullptr || idx < 0 || idx >= KVTP_TOXTOKEN_NFEATURES) {
        return 0;
    }
    token->features[idx] = flag ? 't' : 0;
    return 1;
}

int KVTP_toxtoken_getfeat(const KVTP_toxtoken* token, int32_t idx) {
    if (token == nullptr || idx < 0 || idx >= KVTP_TOXTOKEN_NFEATURES) {
        return 0;
    }
    return token->features[idx] == 't' ? 1 : 0;
}

int KVTP_toxtoken_set_norm(KVTP_toxtoken* token, const char* text, int32_t len) {
    if (token == nullptr) {
        return 0;
    }
    return KVTP_dystr_replace(token->norm, text != nullptr ? text : "", len);
}

const char* KVTP_toxtoken_getnorm(const KVTP_toxtoken* token) {
    return token == nullptr ? nullptr : KVTP_dystr_cstr(token->norm);
}

int KVTP_toxtoken_norm_truncate(KVTP_toxtoken* token, int32_t len) {
    return token == nullptr ? 0 : KVTP_dystr_truncate(token->norm, len);
}

int KVTP_toxtoken_setid(KVTP_toxtoken* token, int32_t id) {
    if (token == nullptr) {
        return 0;
    }
    token->id = id;
    return 1;
}

int KVTP_toxtoken_setparent(KVTP_toxtoken* token, KVTP_toxspurt* parent) {
    if (token == nullptr) {
        return 0;
    }
    token->parent = parent;
    return 1;
}

int KVTP_toxtoken_link(const KVTP_toxtoken* previous, KVTP_toxtoken* token) {
    if (token == nullptr) {
        return 0;
    }
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtag* tag = TagAt(token, i);
        const bool continues = tag->type == KVTP_TOXTAG_END || tag->type == KVTP_TOXTAG_MID;
        tag->fellow = previous != nullptr && continues ? TagAt(previous, i) : nullptr;
    }
    return 1;
}

int KVTP_toxtoken_addtag(KVTP_toxtoken* token, KVTP_toxtag* tag) {
    if (token == nullptr || tag == nullptr) {
        return 0;
    }
    return InsertAt(token, tag, -1);
}

int KVTP_toxtoken_addtag_front(KVTP_toxtoken* token, KVTP_toxtag* tag) {
    if (token == nullptr || tag == nullptr) {
        return 0;
    }
    return InsertAt(token, tag, 0);
}

int KVTP_toxtoken_removetag(KVTP_toxtoken* token, KVTP_toxtag* tag) {
    if (token == nullptr || tag == nullptr) {
        return 0;
    }
    const int32_t i = IndexOfTag(token, tag);
    if (i < 0) {
        return 0;
    }
    RemoveAt(token, i);
    tag->parent = nullptr;
    return 1;
}

int32_t KVTP_toxtoken_removetag_named(KVTP_toxtoken* token, const char* name) {
    if (token == nullptr || name == nullptr) {
        return 0;
    }
    int32_t removed = 0;
    for (int32_t i = TagCount(token) - 1; i >= 0; --i) {
        KVTP_toxtag* tag = TagAt(token, i);
        if (IsNamed(tag, name)) {
            KVTP_toxtag_clear(tag);
            RemoveAt(token, i);
            ++removed;
        }
    }
    return removed;
}

int KVTP_toxtoken_replacetag(KVTP_toxtoken* token, KVTP_toxtag* tag) {
    if (token == nullptr || tag == nullptr) {
        return 0;
    }
    const char* name = KVTP_toxtag_name(tag);
    for (int32_t i = TagCount(token) - 1; i >= 0; --i) {
        KVTP_toxtag* old = TagAt(token, i);
        if (old == tag) {
            RemoveAt(token, i);  // moves to the end below, untouched
        } else if (IsNamed(old, name)) {
            KVTP_toxtag_clear(old);
            RemoveAt(token, i);
        }
    }
    return InsertAt(token, tag, -1);
}

int KVTP_toxtoken_move_tag(KVTP_toxtoken* token, KVTP_toxtag* tag, int32_t pos) {
    if (token == nullptr || tag == nullptr) {
        return 0;
    }
    const int32_t i = IndexOfTag(token, tag);
    if (i >= 0) {
        RemoveAt(token, i);
    }
    return InsertAt(token, tag, pos);
}

int KVTP_toxtoken_replace_tags(KVTP_toxtoken* token, const KVTP_voidparray* list) {
    if (token == nullptr) {
        return 0;
    }
    const int32_t listed = KVTP_voidparray_sz(list);
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtag* old = TagAt(token, i);
        if (old->parent == token) {
            old->parent = nullptr;
        }
    }
    KVTP_voidparray_clear(token->tags);
    for (int32_t i = 0; i < listed; ++i) {
        KVTP_toxtag* tag = static_cast<KVTP_toxtag*>(KVTP_voidparray_idx(list, i));
        if (tag != nullptr) {
            if (!KVTP_voidparray_add(token->tags, tag)) {
                return 0;
            }
            tag->parent = token;
        }
    }
    return 1;
}

KVTP_toxtag* KVTP_toxtoken_gettag(const KVTP_toxtoken* token, const char* name) {
    return KVTP_toxtoken_gettag_attrib(token, name, nullptr, nullptr);
}

const char* KVTP_toxtoken_tagval(const KVTP_toxtoken* token, const char* name, const char* attrib) {
    if (attrib == nullptr) {
        return nullptr;
    }
    return KVTP_toxtag_val(KVTP_toxtoken_gettag_attrib(token, name, attrib, nullptr), attrib);
}

KVTP_toxtag* KVTP_toxtoken_gettag_attrib(const KVTP_toxtoken* token, const char* name,
                                         const char* attrib, const char* value) {
    if (token == nullptr) {
        return nullptr;
    }
    for (int32_t i = TagCount(token) - 1; i >= 0; --i) {
        KVTP_toxtag* tag = TagAt(token, i);
        if (name != nullptr && !IsNamed(tag, name)) {
            continue;
        }
        if (attrib != nullptr) {
            const char* v = KVTP_toxtag_val(tag, attrib);
            if (v == nullptr || (value != nullptr && std::strcmp(v, value) != 0)) {
                continue;
            }
        }
        return tag;
    }
    return nullptr;
}

KVTP_toxtag* KVTP_toxtoken_gettag_match(const KVTP_toxtoken* token, const KVTP_toxtag* tag) {
    if (token == nullptr || tag == nullptr) {
        return nullptr;
    }
    const char* name = KVTP_toxtag_name(tag);
    for (int32_t i = TagCount(token) - 1; i >= 0; --i) {
        KVTP_toxtag* candidate = TagAt(token, i);
        if (!IsNamed(candidate, name)) {
            continue;
        }
        bool all = true;
        ForEachAttrib(tag, [&](const char* attr, const char* value) {
            all = Equal(KVTP_toxtag_val(candidate, attr), value);
            return all;
        });
        if (all) {
            return candidate;
        }
    }
    return nullptr;
}

int32_t KVTP_toxtoken_setdefault_tagval(KVTP_toxtoken* token, const char* name, const char* attrib,
                                        const char* value) {
    if (token == nullptr || name == nullptr || attrib == nullptr) {
        return 0;
    }
    int32_t set = 0;
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtag* tag = TagAt(token, i);
        // Appended, not set: setting would overwrite a longer attribute
        // name that merely starts with this one (gendered for gender).
        if (IsNamed(tag, name) && KVTP_toxtag_val(tag, attrib) == nullptr &&
            AppendAttrib(tag, attrib, -1, value, -1)) {
            ++set;
        }
    }
    return set;
}

int32_t KVTP_toxtoken_notags(const KVTP_toxtoken* token) {
    return token == nullptr ? 0 : TagCount(token);
}

KVTP_toxtag* KVTP_toxtoken_tagidx(const KVTP_toxtoken* token, int32_t i) {
    return token == nullptr ? nullptr : TagAt(token, i);
}

int KVTP_toxtoken_getcharpos(const KVTP_toxtoken* token, int32_t* a, int32_t* b, int32_t* c,
                             int32_t* d) {
    int32_t* fields[4] = {a, b, c, d};
    for (int32_t* field : fields) {
        if (field != nullptr) {
            *field = -1;
        }
    }
    const char* value = KVTP_toxtoken_tagval(token, "mark", "name");
    if (value == nullptr) {
        return 0;
    }
    const char* p = value;
    for (int32_t i = 0; i < 4 && p != nullptr; ++i) {
        if (fields[i] != nullptr) {
            *fields[i] = KVTP_atoi(p, -1);
        }
        if (i < 3) {
            p = std::strchr(p, '_');
            if (p != nullptr) {
                ++p;
            }
        }
    }
    return 1;
}

namespace {

const char* LastSpron(const KVTP_toxtoken* token) {
    return KVTP_toxtag_val(KVTP_toxtoken_gettag(token, "lex"), "spron");
}

}  // namespace

int KVTP_toxtoken_issilent(const KVTP_toxtoken* token) {
    const char* spron = LastSpron(token);
    return spron != nullptr && *spron != '\0' ? 0 : 1;
}

int32_t KVTP_toxtoken_nsyl(const KVTP_toxtoken* token) {
    const char* spron = LastSpron(token);
    if (spron == nullptr) {
        return 0;
    }
    const int32_t bars = KVTP_charcount(spron, -1, '|');
    return bars < 1 ? 1 : bars;
}

KVTP_toxtag* KVTP_toxtag_split(KVTP_toxtag* tag, KVTP_toxpool* pool) {
    if (tag == nullptr) {
        return nullptr;
    }
    KVTP_toxtag* copy = KVTP_toxpool_tag(pool);
    if (copy == nullptr || !KVTP_toxtag_copy(tag, copy)) {
        return nullptr;
    }
    int32_t first = tag->type;
    int32_t second = tag->type;
    switch (tag->type) {
        case KVTP_TOXTAG_START:
            second = KVTP_TOXTAG_MID;
            break;
        case KVTP_TOXTAG_END:
            first = KVTP_TOXTAG_MID;
            break;
        case KVTP_TOXTAG_STARTEND:
            first = KVTP_TOXTAG_START;
            second = KVTP_TOXTAG_END;
            break;
        default:
            break;
    }
    KVTP_toxtag_settype(tag, first);
    copy->type = second;
    copy->fellow = tag;
    return copy;
}

KVTP_toxtoken* KVTP_toxtoken_split(KVTP_toxtoken* token, KVTP_toxpool* pool) {
    if (token == nullptr) {
        return nullptr;
    }
    KVTP_toxtoken* split = KVTP_toxpool_token(pool);
    if (split == nullptr) {
        return nullptr;
    }
    split->parent = token->parent;
    split->split_source = token;
    split->id = token->id;
    KVTP_toxtoken_setpstpunc(split, KVTP_toxtoken_getpstpunc(token), -1);
    KVTP_toxtoken_setpstpunc(token, "", 0);
    for (int32_t i = 0; i < TagCount(token);) {
        KVTP_toxtag* tag = TagAt(token, i);
        if (tag->type == KVTP_TOXTAG_CLOSED) {
            RemoveAt(token, i);
            KVTP_toxtoken_addtag(split, tag);
            continue;
        }
        KVTP_toxtoken_addtag(split, KVTP_toxtag_split(tag, pool));
        ++i;
    }
    token->tag_boundary = TagCount(token);
    return split;
}

int32_t KVTP_toxtoken_truncate(KVTP_toxtoken* token) {
    if (token == nullptr || token->tag_boundary < 0) {
        return 0;
    }
    int32_t removed = 0;
    for (int32_t i = TagCount(token) - 1; i >= token->tag_boundary; --i) {
        KVTP_toxtag_clear(TagAt(token, i));
        KVTP_voidparray_delete_range(token->tags, i, 1);
        ++removed;
    }
    return removed;
}

namespace {

void PrintOneToken(const KVTP_toxtoken* token, KVTP_dystr* out) {
    KVTP_dystr_append(out, KVTP_toxtoken_get(token), -1);
    KVTP_dystr_appendint(out, token->id);
    KVTP_dystr_append3(out, "{", 1, "[", 1, KVTP_toxtoken_getnorm(token), -1);
    Append(out, "] ");
    KVTP_dystr_appendint(out, token->second_index);
    KVTP_dystr_append(out, GetString(token, KVTP_TOXTOKEN_RESERVED), -1);
    KVTP_dystr_append3(out, "[", 1, KVTP_toxtoken_getprepunc(token), -1, "]", 1);
    KVTP_dystr_append3(out, "[", 1, KVTP_toxtoken_getpstpunc(token), -1, "]", 1);
    Append(out, "[");
    for (int32_t i = 2; i <= 6; ++i) {
        Append(out, KVTP_toxtoken_getfeat(token, i) ? "T" : "F");
    }
    Append(out, "]} p");
    KVTP_dystr_append2(out, KVTP_toxtoken_getpos(token), -1, " ", 1);
    const int32_t n = TagCount(token);
    for (int32_t i = 0; i < n; ++i) {
        if (i > 0) {
            Append(out, ",");
        }
        KVTP_toxtag_print(TagAt(token, i), out);
    }
    Append(out, "\n");
}

}  // namespace

int KVTP_toxtoken_print(const KVTP_toxtoken* token, KVTP_dystr* out) {
    if (token == nullptr || out == nullptr) {
        return 0;
    }
    PrintOneToken(token, out);
    int32_t level = 1;
    for (const KVTP_toxtoken* t = token->next; t != nullptr && t != token && level <= kMaxChain;
         t = t->next, ++level) {
        for (int32_t i = 1; i < level; ++i) {
            Append(out, "  ");
        }
        Append(out, " |->");
        PrintOneToken(t, out);
    }
    return 1;
}

int KVTP_toxtoken_printf(const KVTP_toxtoken* token) {
    KVTP_dystr* out = KVTP_dystr_new(nullptr, 256);
    const int ok = KVTP_toxtoken_print(token, out);
    if (ok) {
        PrintToStdout(out);
    }
    KVTP_dystr_delete(out);
    return ok;
}

KVTP_toxtoken* KVTP_toxtoken_cast(void* p) {
    return static_cast<KVTP_toxtoken*>(p);
}

// ---------------------------------------------------------------------------
// Spurts.

KVTP_toxspurt* KVTP_toxspurt_new() {
    KVTP_toxspurt* spurt = static_cast<KVTP_toxspurt*>(KVTP_malloc(sizeof(KVTP_toxspurt)));
    if (spurt == nullptr) {
        return nullptr;
    }
    spurt->tokens = KVTP_voidparray_newcustom(kSpurtTokenReserve, kSpurtTokenStep, kSpurtTokenKeep);
    if (spurt->tokens == nullptr) {
        KVTP_free(spurt);
        return nullptr;
    }
    return spurt;
}

void KVTP_toxspurt_delete(KVTP_toxspurt* spurt) {
    if (spurt == nullptr) {
        return;
    }
    const int32_t n = KVTP_voidparray_sz(spurt->tokens);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtoken* token = static_cast<KVTP_toxtoken*>(KVTP_voidparray_idx(spurt->tokens, i));
        if (token != nullptr && token->parent == spurt) {
            token->parent = nullptr;
        }
    }
    FreeSpurt(spurt);
}

int KVTP_toxspurt_clear(KVTP_toxspurt* spurt) {
    if (spurt == nullptr) {
        return 0;
    }
    const int32_t n = KVTP_voidparray_sz(spurt->tokens);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtoken_clear(static_cast<KVTP_toxtoken*>(KVTP_voidparray_idx(spurt->tokens, i)));
    }
    KVTP_voidparray_clear(spurt->tokens);
    spurt->parent = nullptr;
    spurt->id = 0;
    spurt->reserved1 = 0;
    spurt->reserved2 = 0;
    spurt->phrases = 0;
    spurt->phrase = 0;
    spurt->utt_words = 0;
    spurt->utt_syls = 0;
    spurt->pre_syls = 0;
    spurt->pre_words = 0;
    spurt->pst_syls = 0;
    spurt->pst_words = 0;
    spurt->reserved3 = 0;
    return 1;
}

int KVTP_toxspurt_add(KVTP_toxspurt* spurt, KVTP_toxtoken* token) {
    if (spurt == nullptr || token == nullptr || !KVTP_voidparray_add(spurt->tokens, token)) {
        return 0;
    }
    token->parent = spurt;
    return 1;
}

KVTP_voidparray* KVTP_toxspurt_tokens(const KVTP_toxspurt* spurt) {
    return spurt == nullptr ? nullptr : spurt->tokens;
}

int KVTP_toxspurt_setparent(KVTP_toxspurt* spurt, void* parent) {
    if (spurt == nullptr) {
        return 0;
    }
    spurt->parent = parent;
    return 1;
}

int KVTP_toxspurt_setid(KVTP_toxspurt* spurt, int32_t id) {
    if (spurt == nullptr) {
        return 0;
    }
    spurt->id = id;
    return 1;
}

int32_t KVTP_toxspurt_getid(const KVTP_toxspurt* spurt) {
    return spurt == nullptr ? -1 : spurt->id;
}

int KVTP_toxspurt_set_jobid(KVTP_toxspurt* spurt, const char* jobid, int32_t len) {
    if (spurt == nullptr) {
        return 0;
    }
    char* copy = nullptr;
    if (jobid != nullptr) {
        copy = KVTP_strndup(jobid, len);
        if (copy == nullptr) {
            return 0;
        }
    }
    KVTP_free(spurt->jobid);
    spurt->jobid = copy;
    return 1;
}

const char* KVTP_toxspurt_get_jobid(const KVTP_toxspurt* spurt) {
    return spurt == nullptr ? nullptr : spurt->jobid;
}

KVTP_toxspurt* KVTP_toxspurt_cast(void* p) {
    return static_cast<KVTP_toxspurt*>(p);
}

int KVTP_toxspurt_xml(const KVTP_toxspurt* spurt, KVTP_dystr* out) {
    if (out == nullptr) {
        return 0;
    }
    KVTP_dystr_clear(out);
    if (spurt == nullptr) {
        return 0;
    }
    const KVTP_voidparray* tokens = spurt->tokens;
    const int32_t n = KVTP_voidparray_sz(tokens);
    if (n == 0) {
        return 1;
    }
    auto token = [tokens](int32_t i) {
        return static_cast<KVTP_toxtoken*>(KVTP_voidparray_idx(tokens, i));
    };
    Append(out, "<spurt spurt_id='");
    if (spurt->jobid != nullptr) {
        KVTP_dystr_append2(out, spurt->jobid, -1, "_", 1);
    }
    KVTP_dystr_printf(out, "%03d", spurt->id);
    if (spurt->phrases != 0) {
        KVTP_dystr_printf(out,
                          "' phrases='%d' phrase='%d' utt_words='%d' utt_syls='%d' pre_words='%d'"
                          " pre_syls='%d' pst_words='%d' pst_syls='%d",
                          spurt->phrases, spurt->phrase, spurt->utt_words, spurt->utt_syls,
                          spurt->pre_words, spurt->pre_syls, spurt->pst_words, spurt->pst_syls);
    }
    Append(out, "'>\n");
    if (n == 1) {
        if (token(0) != nullptr) {
            WriteEmptySpurt(out, token(0));
        } else {
            Append(out, "\n</spurt>\n");
        }
        return 1;
    }
    if (token(0) != nullptr) {
        WritePause(out, token(0), true);
    }
    Append(out, "\t<speech>\n");
    int32_t depth = 2;
    for (int32_t i = 1; i < n; ++i) {
        if (token(i) != nullptr) {
            WriteToken(out, token(i), &depth);
        }
    }
    Append(out, "\t</speech>\n");
    if (token(n - 1) != nullptr) {
        WritePause(out, token(n - 1), false);
    }
    Append(out, "\n</spurt>\n");
    return 1;
}

// ---------------------------------------------------------------------------
// Streams.

namespace {

KVTP_toxtoken* StreamToken(const KVTP_voidparray* stream, int32_t i) {
    return static_cast<KVTP_toxtoken*>(KVTP_voidparray_idx(stream, i));
}

bool IsReal(const KVTP_toxtoken* token) {
    return token != nullptr && KVTP_dystr_sz(token->norm) > 0;
}

}  // namespace

KVTP_toxtoken* KVTP_toxstream_next_realtk(const KVTP_voidparray* stream, int32_t idx) {
    return StreamToken(stream, KVTP_toxstream_next_realtkidx(stream, idx));
}

int32_t KVTP_toxstream_next_realtkidx(const KVTP_voidparray* stream, int32_t idx) {
    const int32_t n = KVTP_voidparray_sz(stream);
    for (int32_t i = idx < 0 ? 0 : idx; i < n; ++i) {
        if (IsReal(StreamToken(stream, i))) {
            return i;
        }
    }
    return -1;
}

KVTP_toxtoken* KVTP_toxstream_prev_realtk(const KVTP_voidparray* stream, int32_t idx) {
    const int32_t n = KVTP_voidparray_sz(stream);
    for (int32_t i = idx >= n ? n - 1 : idx; i >= 0; --i) {
        if (IsReal(StreamToken(stream, i))) {
            return StreamToken(stream, i);
        }
    }
    return nullptr;
}

int32_t KVTP_toxstream_last_realtk(const KVTP_voidparray* stream) {
    for (int32_t i = KVTP_voidparray_sz(stream) - 1; i >= 1; --i) {
        if (IsReal(StreamToken(stream, i))) {
            return i;
        }
    }
    return 0;
}

int KVTP_toxstream_release_tox(KVTP_voidparray* stream) {
    if (stream == nullptr) {
        return 0;
    }
    const int32_t n = KVTP_voidparray_sz(stream);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtoken_clear(StreamToken(stream, i));
    }
    return 1;
}

int KVTP_toxspstream_release_tox(KVTP_voidparray* stream) {
    if (stream == nullptr) {
        return 0;
    }
    const int32_t n = KVTP_voidparray_sz(stream);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxspurt_clear(static_cast<KVTP_toxspurt*>(KVTP_voidparray_idx(stream, i)));
    }
    return 1;
}

int KVTP_toxstream_print(const KVTP_voidparray* stream, KVTP_dystr* out) {
    if (stream == nullptr || out == nullptr) {
        return 0;
    }
    const int32_t n = KVTP_voidparray_sz(stream);
    for (int32_t i = 0; i < n; ++i) {
        KVTP_toxtoken_print(StreamToken(stream, i), out);
    }
    return 1;
}

int KVTP_toxspstream_print(const KVTP_voidparray* stream, KVTP_dystr* out) {
    if (stream == nullptr || out == nullptr) {
        return 0;
    }
    const int32_t n = KVTP_voidparray_sz(stream);
    for (int32_t i = 0; i < n; ++i) {
        const KVTP_toxspurt* spurt = static_cast<KVTP_toxspurt*>(KVTP_voidparray_idx(stream, i));
        if (spurt == nullptr) {
            continue;
        }
        KVTP_toxstream_print(spurt->tokens, out);
        if (spurt->phrases != 0) {
            KVTP_dystr_printf(out, "PHRASE %d of %d\n", spurt->phrase, spurt->phrases);
        } else {
            Append(out, "PHRASE\n");
        }
    }
    return 1;
}

namespace {

int PrintStream(const KVTP_voidparray* stream, int (*print)(const KVTP_voidparray*, KVTP_dystr*)) {
    KVTP_dystr* out = KVTP_dystr_new(nullptr, 1024);
    const int ok = print(stream, out);
    if (ok) {
        PrintToStdout(out);
    }
    KVTP_dystr_delete(out);
    return ok;
}

}  // namespace

int KVTP_toxstream_printf(const KVTP_voidparray* stream) {
    return PrintStream(stream, KVTP_toxstream_print);
}

int KVTP_toxspstream_printf(const KVTP_voidparray* stream) {
    return PrintStream(stream, KVTP_toxspstream_print);
}

// ---------------------------------------------------------------------------
// Pool.

KVTP_toxpool* KVTP_toxpool_new(int32_t spurts, int32_t tokens, int32_t tags) {
    KVTP_toxpool* pool = static_cast<KVTP_toxpool*>(KVTP_malloc(sizeof(KVTP_toxpool)));
    if (pool == nullptr) {
        return nullptr;
    }
    pool->spurts = KVTP_voidparray_newcustom(spurts > 0 ? spurts : 0, 8, 64);
    pool->tokens = KVTP_voidparray_newcustom(tokens > 0 ? tokens : 0, 8, 64);
    pool->tags = KVTP_voidparray_newcustom(tags > 0 ? tags : 0, 8, 64);
    if (pool->spurts == nullptr || pool->tokens == nullptr || pool->tags == nullptr ||
        !Fill(pool->spurts, spurts, KVTP_toxspurt_new, FreeSpurt) ||
        !Fill(pool->tokens, tokens, KVTP_toxtoken_new, FreeToken) ||
        !Fill(pool->tags, tags, KVTP_toxtag_new, FreeTag)) {
        KVTP_toxpool_delete(pool);
        return nullptr;
    }
    return pool;
}

void KVTP_toxpool_delete(KVTP_toxpool* pool) {
    if (pool == nullptr) {
        return;
    }
    // Objects point at each other: free each kind without following links.
    const int32_t nspurts = KVTP_voidparray_sz(pool->spurts);
    for (int32_t i = 0; i < nspurts; ++i) {
        FreeSpurt(static_cast<KVTP_toxspurt*>(KVTP_voidparray_idx(pool->spurts, i)));
    }
    const int32_t ntokens = KVTP_voidparray_sz(pool->tokens);
    for (int32_t i = 0; i < ntokens; ++i) {
        FreeToken(static_cast<KVTP_toxtoken*>(KVTP_voidparray_idx(pool->tokens, i)));
    }
    const int32_t ntags = KVTP_voidparray_sz(pool->tags);
    for (int32_t i = 0; i < ntags; ++i) {
        FreeTag(static_cast<KVTP_toxtag*>(KVTP_voidparray_idx(pool->tags, i)));
    }
    KVTP_voidparray_delete(pool->spurts);
    KVTP_voidparray_delete(pool->tokens);
    KVTP_voidparray_delete(pool->tags);
    KVTP_free(pool);
}

int KVTP_toxpool_clear(KVTP_toxpool* pool) {
    if (pool == nullptr) {
        return 0;
    }
    const int32_t nspurts = KVTP_voidparray_sz(pool->spurts);
    for (int32_t i = 0; i < nspurts; ++i) {
        KVTP_toxspurt_clear(static_cast<KVTP_toxspurt*>(KVTP_voidparray_idx(pool->spurts, i)));
    }
    const int32_t ntokens = KVTP_voidparray_sz(pool->tokens);
    for (int32_t i = 0; i < ntokens; ++i) {
        KVTP_toxtoken_clear(static_cast<KVTP_toxtoken*>(KVTP_voidparray_idx(pool->tokens, i)));
    }
    const int32_t ntags = KVTP_voidparray_sz(pool->tags);
    for (int32_t i = 0; i < ntags; ++i) {
        KVTP_toxtag_clear(static_cast<KVTP_toxtag*>(KVTP_voidparray_idx(pool->tags, i)));
    }
    pool->spurt_cursor = 0;
    pool->token_cursor = 0;
    pool->tag_cursor = 0;
    return 1;
}

KVTP_toxspurt* KVTP_toxpool_spurt(KVTP_toxpool* pool) {
    if (pool == nullptr) {
        return nullptr;
    }
    return HandOut<KVTP_toxspurt>(pool->spurts, &pool->spurt_cursor, KVTP_toxspurt_new, FreeSpurt,
                                  "spurt");
}

KVTP_toxtoken* KVTP_toxpool_token(KVTP_toxpool* pool) {
    if (pool == nullptr) {
        return nullptr;
    }
    return HandOut<KVTP_toxtoken>(pool->tokens, &pool->token_cursor, KVTP_toxtoken_new, FreeToken,
                                  "token");
}

KVTP_toxtag* KVTP_toxpool_tag(KVTP_toxpool* pool) {
    if (pool == nullptr) {
        return nullptr;
    }
    return HandOut<KVTP_toxtag>(pool->tags, &pool->tag_cursor, KVTP_toxtag_new, FreeTag, "tag");
}

// SPDX-License-Identifier: MIT
// Configuration documents: the scanner's element events fill a key/value table.
#include "textproc/scanner/config.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "textproc/scanner/tpxml.h"
#include "textproc/toolkit/dystr.h"
#include "textproc/toolkit/dystrarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/string_ops.h"

struct KVTP_config {
    KVTP_dystr* key = nullptr;  // reused to build lookup keys
    char* root = nullptr;
    KVTP_str2str* dict = nullptr;
    KVTP_dystrarray* stack = nullptr;  // names of the open elements
    char* file_buffer = nullptr;       // text of the last file loaded
    KVTP_tpxml* xml = nullptr;
};

namespace {

constexpr int32_t kDictReserve = 32;  // pairs, i.e. 64 strings
constexpr int32_t kStackReserve = 128;
constexpr int32_t kMaxStoredText = 64 * 1024 * 1024;

int32_t stack_size(const KVTP_config* c) {
    return KVTP_dystrarray_sz(c->stack);
}

// Builds group [+ suffix] + "|" [+ attr] in the key buffer (while loading).
const char* make_key(const KVTP_config* c, const char* group, int32_t glen, const char* suffix,
                     const char* attr, int32_t alen) {
    KVTP_dystr_clear(c->key);
    KVTP_dystr_append4(c->key, group, glen, suffix, -1, "|", 1, attr == nullptr ? "" : attr,
                       attr == nullptr ? 0 : alen);
    return KVTP_dystr_cstr(c->key);
}

int on_start(void* userdata, const char* name, const char** atts) {
    KVTP_config* c = static_cast<KVTP_config*>(userdata);
    KVTP_dystrarray_add(c->stack, name, -1);
    int32_t depth = stack_size(c);
    // Only direct children of the root are settings groups.
    if (depth < 2 || strcmp(KVTP_dystrarray_idx(c->stack, depth - 2), c->root) != 0) {
        return 1;
    }
    int32_t nlen = static_cast<int32_t>(strlen(name));
    const char* key = make_key(c, name, nlen, "", nullptr, 0);
    int32_t klen = KVTP_dystr_sz(c->key);
    char suffix[32] = "";
    const char* counter = KVTP_str2str_lookup(c->dict, key, klen);
    if (counter != nullptr) {
        int32_t n = KVTP_atoi(counter, -1) + 1;
        KVTP_itoa(n, suffix, sizeof suffix);
        KVTP_str2str_replace_val(c->dict, key, klen, suffix, -1);
    } else {
        KVTP_str2str_add(c->dict, key, klen, "0", 1);
    }
    for (int32_t i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
        const char* value = atts[i + 1];
        if (strcmp(value, "TRUE") == 0 || strcmp(value, "true") == 0) {
            value = "True";
        }
        key = make_key(c, name, nlen, suffix, atts[i], -1);
        KVTP_str2str_add(c->dict, key, KVTP_dystr_sz(c->key), value, -1);
    }
    return 1;
}

int on_end(void* userdata, const char* name) {
    KVTP_config* c = static_cast<KVTP_config*>(userdata);
    int32_t depth = stack_size(c);
    if (depth > 0 && strcmp(KVTP_dystrarray_idx(c->stack, depth - 1), name) == 0) {
        KVTP_dystrarray_remove(c->stack, depth - 1);
    }
    return 1;
}

// Each document starts with no open element, whatever the last one left, so
// an unclosed document cannot make the next one's root pass for a group.
void begin_document(KVTP_config* c) {
    KVTP_dystrarray_clear(c->stack, 0);
}

// A lookup key built on the stack, so that lookups write nothing in the
// configuration and one configuration may be read by several threads.
class LookupKey {
  public:
    LookupKey(const char* group, int32_t glen, const char* suffix, const char* attr, int32_t alen) {
        const size_t g = glen < 0 ? strlen(group) : static_cast<size_t>(glen);
        const size_t a = attr == nullptr ? 0 : alen < 0 ? strlen(attr) : static_cast<size_t>(alen);
        const size_t x = strlen(suffix);
        len_ = g + x + 1 + a;
        if (len_ >= sizeof local_) {
            heap_.resize(len_ + 1);
            text_ = &heap_[0];
        }
        memcpy(text_, group, g);
        memcpy(text_ + g, suffix, x);
        text_[g + x] = '|';
        if (a > 0) {
            memcpy(text_ + g + x + 1, attr, a);
        }
        text_[len_] = '\0';
    }
    LookupKey(const LookupKey&) = delete;
    LookupKey& operator=(const LookupKey&) = delete;

    const char* text() const { return text_; }
    int32_t len() const { return len_ > INT32_MAX ? INT32_MAX : static_cast<int32_t>(len_); }

  private:
    char local_[128];
    std::string heap_;
    char* text_ = local_;
    size_t len_ = 0;
};

}  // namespace

KVTP_config* KVTP_config_new(const char* root, int32_t len) {
    void* mem = KVTP_malloc(sizeof(KVTP_config));
    if (mem == nullptr) {
        return nullptr;
    }
    KVTP_config* c = new (mem) KVTP_config();
    c->key = KVTP_dystr_new(nullptr, 64);
    c->root = KVTP_strndup(root == nullptr ? "" : root, root == nullptr ? 0 : len);
    c->dict = KVTP_str2str_new(kDictReserve);
    c->stack = KVTP_dystrarray_newprealloc(kStackReserve);
    c->xml = KVTP_tpxml_new();
    if (c->key == nullptr || c->root == nullptr || c->dict == nullptr || c->stack == nullptr ||
        c->xml == nullptr) {
        KVTP_config_delete(c);
        return nullptr;
    }
    KVTP_tpxml_set_userdata(c->xml, c);
    KVTP_tpxml_set_element_handler(c->xml, on_start, on_end);
    return c;
}

void KVTP_config_delete(KVTP_config* c) {
    if (c == nullptr) {
        return;
    }
    KVTP_tpxml_delete(c->xml);
    KVTP_free(c->file_buffer);
    KVTP_dystrarray_delete(c->stack);
    KVTP_str2str_delete(c->dict);
    KVTP_free(c->root);
    KVTP_dystr_delete(c->key);
    c->~KVTP_config();
    KVTP_free(c);
}

int KVTP_config_load(KVTP_config* c, const char* text, int32_t len) {
    if (c == nullptr) {
        return 0;
    }
    begin_document(c);
    return KVTP_tpxml_parse(c->xml, text, text == nullptr ? 0 : len, 1);
}

int KVTP_config_loads(KVTP_config* c, const char* const* lines) {
    if (c == nullptr) {
        return 0;
    }
    begin_document(c);
    int ok = 1;
    for (; lines != nullptr && *lines != nullptr && (*lines)[0] != '\0'; ++lines) {
        ok &= KVTP_tpxml_parse(c->xml, *lines, -1, 0);
    }
    ok &= KVTP_tpxml_parse(c->xml, "", 0, 1);
    return ok;
}

int KVTP_config_loadf(KVTP_config* c, const char* path) {
    if (c == nullptr || path == nullptr) {
        return 0;
    }
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        return 0;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size >= INT32_MAX) {
        fclose(f);
        return 0;
    }
    size_t size = static_cast<size_t>(st.st_size);
    char* buffer = static_cast<char*>(KVTP_malloc(size + 1));
    if (buffer == nullptr) {
        fclose(f);
        return 0;
    }
    size_t got = fread(buffer, 1, size, f);
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        KVTP_free(buffer);
        return 0;
    }
    KVTP_free(c->file_buffer);
    c->file_buffer = buffer;
    begin_document(c);
    return KVTP_tpxml_parse(c->xml, buffer, static_cast<int32_t>(got), 1);
}

int KVTP_config_load_prealloc(KVTP_config* c, const char* text, int32_t len, void*) {
    return KVTP_config_load(c, text, len);
}

int KVTP_config_loads_prealloc(KVTP_config* c, const char* const* lines, void*) {
    return KVTP_config_loads(c, lines);
}

const char* KVTP_config_lookup(const KVTP_config* c, const char* group, int32_t glen,
                               const char* attr, int32_t alen) {
    return KVTP_config_lookup_idx(c, group, glen, attr, alen, 0);
}

const char* KVTP_config_lookup_idx(const KVTP_config* c, const char* group, int32_t glen,
                                   const char* attr, int32_t alen, int32_t idx) {
    if (c == nullptr || group == nullptr || attr == nullptr) {
        return nullptr;
    }
    char suffix[32] = "";
    if (idx >= 1) {
        KVTP_itoa(idx, suffix, sizeof suffix);
    }
    const LookupKey key(group, glen, suffix, attr, alen);
    return KVTP_str2str_lookup(c->dict, key.text(), key.len());
}

int32_t KVTP_config_lookup_n(const KVTP_config* c, const char* group, int32_t glen) {
    if (c == nullptr || group == nullptr) {
        return 0;
    }
    const LookupKey key(group, glen, "", nullptr, 0);
    const char* counter = KVTP_str2str_lookup(c->dict, key.text(), key.len());
    return counter == nullptr ? 0 : KVTP_atoi(counter, -1) + 1;
}

KVTP_str2str* KVTP_config_dict(KVTP_config* c) {
    return c == nullptr ? nullptr : c->dict;
}

char* KVTP_tpobj_config_load(FILE* f) {
    int32_t len = 0;
    if (f == nullptr || fread(&len, sizeof len, 1, f) != 1 || len < 0 || len > kMaxStoredText) {
        return nullptr;
    }
    char* text = static_cast<char*>(KVTP_malloc(static_cast<size_t>(len) + 1));
    if (text != nullptr &&
        fread(text, 1, static_cast<size_t>(len), f) != static_cast<size_t>(len)) {
        KVTP_free(text);
        return nullptr;
    }
    return text;
}

int32_t KVTP_tpobj_config_write(const char* text, void* buffer) {
    if (text == nullptr) {
        return 0;
    }
    size_t n = strlen(text) + 1;
    if (buffer == nullptr) {
        return static_cast<int32_t>(n);
    }
    memcpy(buffer, text, n);
    return 1;
}

void KVTP_tpobj_config_delete(char* text) {
    KVTP_free(text);
}

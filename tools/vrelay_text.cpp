// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-text: the text-processing library from the command line.
//
//   vrelay-text tokenise [--plain-text] FILE
//                                       the text as the server receives it
//   vrelay-text spurts FILE             the token model's spurts as XML
//   vrelay-text config FILE             the settings with FILE over the built-in ones
//
// Output goes to standard output; errors are one plain line on standard error
// and exit status 1 (2 for a wrong command line).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "textproc/model/tox.h"
#include "textproc/scanner/config.h"
#include "textproc/scanner/configsettings.h"
#include "textproc/scanner/tpxml.h"
#include "textproc/tokeniser/tpc.h"

namespace {

const char kUsage[] =
    "usage: vrelay-text tokenise [--plain-text] FILE\n"
    "       vrelay-text spurts FILE\n"
    "       vrelay-text config FILE\n";

bool ReadFile(const char* path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "vrelay-text: cannot read %s: %s\n", path, strerror(errno));
        return false;
    }
    text->assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

void WriteText(void*, const char* text, int length) {
    fwrite(text, 1, static_cast<size_t>(length), stdout);
}

// Application tags (voice, audio, metadata) are acted on by the client and
// never sent as text.
void IgnoreTag(void*, const char*, int) {}

// The channel the client uses, fed the whole file in one final call: markup
// input, the built-in configuration, marks before every word, the same
// 4096-byte pieces. With xml false the channel reads plain text instead (its
// markup characters become words), a mode the client never uses.
int Tokenise(const char* path, bool xml) {
    std::string text;
    if (!ReadFile(path, &text)) {
        return 1;
    }
    if (text.size() > INT32_MAX) {
        fprintf(stderr, "vrelay-text: %s is larger than 2 GB\n", path);
        return 1;
    }
    KVTP_tpc* channel = KVTP_tpc_newtype(nullptr, nullptr, xml ? 1 : 0, "CLIENT", KVTP_TPC_TK);
    if (channel == nullptr) {
        fprintf(stderr, "vrelay-text: out of memory\n");
        return 1;
    }
    KVTP_tpc_set_text_callback(channel, WriteText, nullptr);
    KVTP_tpc_set_application_callback(channel, IgnoreTag, nullptr);
    KVTP_tpc_process(channel, text.data(), static_cast<int32_t>(text.size()), 1);
    KVTP_tpc_delete(channel);
    return 0;
}

// Builds spurts from an XML document: every white-space separated word is a
// token carrying a tag for each element open around it; a break element ends
// the spurt. Each spurt starts and ends with an empty token that holds the
// pause markup, as the model expects.
class SpurtBuilder {
  public:
    SpurtBuilder() = default;
    SpurtBuilder(const SpurtBuilder&) = delete;
    SpurtBuilder& operator=(const SpurtBuilder&) = delete;
    ~SpurtBuilder() {
        KVTP_dystr_delete(m_xml);
        KVTP_toxpool_delete(m_pool);
    }

    bool Ready() const { return m_pool != nullptr && m_xml != nullptr; }

    void Start(const char* name, const char** atts) {
        FlushWord();
        if (strcmp(name, "break") == 0) {
            EndSpurt(BreakMilliseconds(atts));
            return;
        }
        Element element{name, {}, nullptr, false};
        for (int i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
            element.attributes.emplace_back(atts[i], atts[i + 1]);
        }
        m_open.push_back(element);
    }

    void End(const char* name) {
        FlushWord();
        if (strcmp(name, "break") == 0 || m_open.empty()) {
            return;
        }
        Element& element = m_open.back();
        if (element.last != nullptr) {
            CloseOnLastToken(element);
        } else if (m_last != nullptr) {
            // An element without words is placed after the word before it.
            AddTag(m_last, element, KVTP_TOXTAG_CLOSED);
        }
        m_open.pop_back();
    }

    // Character data may come in pieces (an entity is one): a word ends at
    // white space or markup.
    void Text(const char* text, int32_t len) {
        for (int32_t i = 0; i < len; ++i) {
            if (IsSpace(text[i])) {
                FlushWord();
            } else {
                m_word += text[i];
            }
        }
    }

    // Ends the document: the last spurt goes out.
    void Finish() {
        FlushWord();
        EndSpurt(0);
    }

  private:
    struct Element {
        std::string name;
        std::vector<std::pair<std::string, std::string>> attributes;
        KVTP_toxtag* last;  // its tag on the latest token
        bool started;       // that tag is the element's first
    };

    // The element's tag on its latest token becomes its end.
    static void CloseOnLastToken(const Element& element) {
        KVTP_toxtag_settype(element.last, element.started ? KVTP_TOXTAG_STARTEND : KVTP_TOXTAG_END);
    }

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    // "300ms", "1.5s" or a plain number of milliseconds; 0 when unreadable.
    static int32_t BreakMilliseconds(const char** atts) {
        for (int i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
            if (strcmp(atts[i], "time") == 0) {
                char* end = nullptr;
                const double value = strtod(atts[i + 1], &end);
                const bool seconds = end != nullptr && strcmp(end, "s") == 0;
                const double ms = seconds ? value * 1000 : value;
                return ms > 0 && ms < 1e9 ? static_cast<int32_t>(ms + 0.5) : 0;
            }
        }
        return 0;
    }

    KVTP_toxspurt* Spurt() {
        if (m_spurt == nullptr) {
            m_spurt = KVTP_toxpool_spurt(m_pool);
            KVTP_toxspurt_setparent(m_spurt, this);
            KVTP_toxspurt_setid(m_spurt, m_spurts++);
            KVTP_toxspurt_add(m_spurt, KVTP_toxpool_token(m_pool));  // the leading pause
            m_last = nullptr;
        }
        return m_spurt;
    }

    KVTP_toxtag* AddTag(KVTP_toxtoken* token, const Element& element, int32_t type) {
        KVTP_toxtag* tag = KVTP_toxpool_tag(m_pool);
        KVTP_toxtag_init(tag, nullptr, element.name.c_str(), -1, type);
        for (const auto& attribute : element.attributes) {
            KVTP_toxtag_add_attrib(tag, attribute.first.c_str(), -1, attribute.second.c_str(), -1);
        }
        KVTP_toxtoken_addtag(token, tag);
        return tag;
    }

    void FlushWord() {
        if (!m_word.empty()) {
            Word(m_word.data(), static_cast<int32_t>(m_word.size()));
            m_word.clear();
        }
    }

    void Word(const char* text, int32_t len) {
        KVTP_toxspurt* spurt = Spurt();
        KVTP_toxtoken* token = KVTP_toxpool_token(m_pool);
        KVTP_toxtoken_set(token, text, len);
        KVTP_toxtoken_set_norm(token, text, len);
        for (Element& element : m_open) {
            element.started = element.last == nullptr;
            element.last =
                AddTag(token, element, element.started ? KVTP_TOXTAG_START : KVTP_TOXTAG_MID);
        }
        KVTP_toxspurt_add(spurt, token);
        m_last = token;
    }

    // Closes the spurt with a trailing token holding the break and prints it.
    void EndSpurt(int32_t milliseconds) {
        if (m_spurt == nullptr) {
            return;
        }
        // Elements still open end with the spurt and start again in the next.
        for (Element& element : m_open) {
            if (element.last != nullptr) {
                CloseOnLastToken(element);
            }
            element.last = nullptr;
        }
        KVTP_toxtoken* tail = KVTP_toxpool_token(m_pool);
        KVTP_toxtag* pause = KVTP_toxpool_tag(m_pool);
        KVTP_toxtag_newbreak(pause, nullptr, 1, milliseconds);
        KVTP_toxtoken_addtag(tail, pause);
        KVTP_toxspurt_add(m_spurt, tail);
        if (KVTP_toxspurt_xml(m_spurt, m_xml)) {
            fputs(KVTP_dystr_cstr(m_xml), stdout);
        }
        KVTP_toxpool_clear(m_pool);
        m_spurt = nullptr;
        m_last = nullptr;
    }

    KVTP_toxpool* m_pool = KVTP_toxpool_new(4, 64, 256);
    KVTP_dystr* m_xml = KVTP_dystr_new(nullptr, 1024);
    KVTP_toxspurt* m_spurt = nullptr;
    KVTP_toxtoken* m_last = nullptr;  // the latest word token of the spurt
    int32_t m_spurts = 0;
    std::vector<Element> m_open;
    std::string m_word;  // the word read so far
};

int OnStart(void* builder, const char* name, const char** atts) {
    static_cast<SpurtBuilder*>(builder)->Start(name, atts);
    return 1;
}

int OnEnd(void* builder, const char* name) {
    static_cast<SpurtBuilder*>(builder)->End(name);
    return 1;
}

int OnText(void* builder, const char* text, int32_t len) {
    static_cast<SpurtBuilder*>(builder)->Text(text, len);
    return 1;
}

// An entity reference is read as the character it stands for when it is one
// of the five predefined ones, else as written; either way it is text.
int OnEntity(void* builder, const char* text, int32_t len) {
    static const char* const kEntities[][2] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}};
    const std::string entity(text, static_cast<size_t>(len));
    for (const auto& known : kEntities) {
        if (entity == known[0]) {
            return OnText(builder, known[1], 1);
        }
    }
    return OnText(builder, text, len);
}

int Spurts(const char* path) {
    std::string text;
    if (!ReadFile(path, &text)) {
        return 1;
    }
    SpurtBuilder builder;
    KVTP_tpxml* scanner = KVTP_tpxml_new();
    if (!builder.Ready() || scanner == nullptr || text.size() > INT32_MAX) {
        fprintf(stderr, "vrelay-text: cannot process %s\n", path);
        KVTP_tpxml_delete(scanner);
        return 1;
    }
    KVTP_tpxml_set_userdata(scanner, &builder);
    KVTP_tpxml_set_element_handler(scanner, OnStart, OnEnd);
    KVTP_tpxml_set_character_data_handler(scanner, OnText);
    KVTP_tpxml_set_entity_handler(scanner, OnEntity);
    KVTP_tpxml_parse(scanner, text.data(), static_cast<int32_t>(text.size()), 1);
    KVTP_tpxml_delete(scanner);
    builder.Finish();
    return 0;
}

// Prints "group.attribute=value" for every setting, the built-in ones in their
// document order and then those only the file has.
int Config(const char* path) {
    KVTP_config* file = KVTP_config_new("tpconfig", -1);
    if (file == nullptr || !KVTP_config_loadf(file, path)) {
        fprintf(stderr, "vrelay-text: cannot read configuration %s\n", path);
        KVTP_config_delete(file);
        return 1;
    }
    KVTP_configsettings* settings = KVTP_configsettings_new_shared(file);
    if (settings == nullptr) {
        KVTP_config_delete(file);
        return 1;
    }
    KVTP_str2str* tables[] = {KVTP_config_dict(const_cast<KVTP_config*>(settings->default_config)),
                              KVTP_config_dict(file)};
    for (KVTP_str2str* table : tables) {
        for (int32_t i = 0; i < KVTP_str2str_nrkeys(table); ++i) {
            const std::string key = KVTP_str2str_key(table, i);
            const size_t bar = key.find('|');
            // "group|" keys count occurrences; they are not settings.
            if (bar == std::string::npos || bar + 1 == key.size()) {
                continue;
            }
            if (table != tables[0] &&
                KVTP_str2str_lookup(tables[0], key.c_str(), static_cast<int32_t>(key.size()))) {
                continue;  // printed with the built-in ones
            }
            const std::string group = key.substr(0, bar);
            const std::string attribute = key.substr(bar + 1);
            const char* value =
                KVTP_configsettings_lookup(settings, group.c_str(), -1, attribute.c_str(), -1);
            printf("%s.%s=%s\n", group.c_str(), attribute.c_str(), value ? value : "");
        }
    }
    KVTP_configsettings_delete(settings);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "tokenise" && argc == 3) {
        return Tokenise(argv[2], true);
    }
    // --xml names the default, as earlier versions spelled it.
    if (command == "tokenise" && argc == 4 &&
        (strcmp(argv[2], "--plain-text") == 0 || strcmp(argv[2], "--xml") == 0)) {
        return Tokenise(argv[3], strcmp(argv[2], "--xml") == 0);
    }
    if (command == "spurts" && argc == 3) {
        return Spurts(argv[2]);
    }
    if (command == "config" && argc == 3) {
        return Config(argv[2]);
    }
    fputs(kUsage, stderr);
    return 2;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-text: the client library's text processing on a file, for
// developers of applications.
//
//   vrelay-text tokenise [--plain-text] [--raw] FILE
//                         the text as the server receives it, and its words
//   vrelay-text spurts [--raw] FILE
//                         the runs of words the token model speaks between pauses
//   vrelay-text config FILE
//                         the settings with FILE over the built-in ones
//
// Output goes to standard output, in words by default and as the library
// writes it with --raw. The file is read as vrelay-say reads its input
// (UTF-8, else Latin-1). Errors are one plain line on standard error and exit
// status 1 (2 for a wrong command line).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "textproc/model/tox.h"
#include "textproc/scanner/config.h"
#include "textproc/scanner/configsettings.h"
#include "textproc/scanner/tpxml.h"
#include "textproc/tokeniser/tpc.h"
#include "frontend/input_cleaner.h"

namespace {

const char kUsage[] =
    "usage: vrelay-text tokenise [--plain-text] [--raw] FILE\n"
    "       vrelay-text spurts [--raw] FILE\n"
    "       vrelay-text config FILE\n";

const char kHelp[] =
    "\n"
    "The vrelay client library's text processing on FILE:\n"
    "  tokenise   the text as the server receives it when an application renders\n"
    "             FILE as markup, and a table of its words with their places in\n"
    "             the text; --plain-text reads FILE as plain text instead\n"
    "  spurts     FILE (XML) in the runs of words spoken between pauses\n"
    "  config     every setting, with the configuration document FILE loaded\n"
    "             over the built-in configuration\n"
    "Options:\n"
    "  --raw      the output as the library writes it (XML, marks and all)\n"
    "  --help     this text\n"
    "FILE is read as UTF-8, or as Latin-1 (Windows-1252) where it is not UTF-8.\n"
    "Exit status: 0 done, 1 FILE cannot be read or is not a configuration\n"
    "(config), 2 wrong command line. See vrelay-text(1).\n";

// The file's bytes as the text vrelay-say would speak: a byte-order mark and
// NUL bytes dropped, bytes that are not UTF-8 read as Latin-1 (each kind
// said once on standard error).
bool ReadFile(const std::string& path, std::string* text) {
    std::string bytes;
    FILE* in = fopen(path.c_str(), "rb");
    if (in != nullptr) {
        char buffer[65536];
        size_t got = 0;
        while ((got = fread(buffer, 1, sizeof buffer, in)) > 0 && bytes.size() <= INT32_MAX) {
            bytes.append(buffer, got);
        }
    }
    // A folder opens, and fails on reading.
    if (in == nullptr || ferror(in)) {
        fprintf(stderr, "vrelay-text: cannot read %s: %s\n", path.c_str(), strerror(errno));
        if (in != nullptr) {
            fclose(in);
        }
        return false;
    }
    fclose(in);
    if (bytes.size() > INT32_MAX) {
        fprintf(stderr, "vrelay-text: %s is larger than 2 GB\n", path.c_str());
        return false;
    }
    vrelay::frontend::InputCleaner cleaner(false);
    *text = cleaner.Clean(bytes, true);
    for (const std::string& notice : cleaner.TakeNotices()) {
        fprintf(stderr, "vrelay-text: %s: %s\n", path.c_str(), notice.c_str());
    }
    return true;
}

void AppendText(void* out, const char* text, int length) {
    static_cast<std::string*>(out)->append(text, static_cast<size_t>(length));
}

// Application tags (voice, audio, metadata) are acted on by the client and
// never sent as text.
void IgnoreTag(void*, const char*, int) {}

// The notes the tokeniser puts where it repaired the markup, in words. Those
// that name an element are followed by the end tag they added.
struct RepairNote {
    const char* tag;
    const char* words;  // %s: the element, when the note names one
};
const RepairNote kRepairNotes[] = {
    {"<xmlfixopen/>", "<parent> added around text outside every element"},
    {"<xmlfixforgotclose/>", "</%s> added: the element around it was closed first"},
    {"<xmlfixcloselastopen/>", "</%s> in place of an end tag that matches no open element"},
    {"<xmlfixbadclose/>", "an end tag that does not match the open element dropped"},
    {"<xmlfixnoopen/>", "an end tag without an open element dropped"},
    {"<xmlfixclosecdata/>", "an unfinished CDATA section closed"},
    {"<xmlfixclosecomment/>", "an unfinished comment closed"},
    {"<xmlfixcloseoffopen/>", "the elements still open at the end closed"},
};

// A word's mark: where the word starts in the submitted text and how long it
// is, in characters and in bytes.
struct WordMark {
    long long atChar = 0, atByte = 0, chars = 0, bytes = 0;
};

bool ReadWordMark(const std::string& tag, WordMark* word) {
    char end[4] = {};
    return sscanf(tag.c_str(), "<mark name=\"kvtk_%lld_%lld_%lld_%lld%3s", &word->atChar,
                  &word->atByte, &word->chars, &word->bytes, end) == 5 &&
           strcmp(end, "\"/>") == 0;
}

int Digits(long long value) {
    return static_cast<int>(std::to_string(value).size());
}

// The tokeniser's output in words: the text the server receives without the
// marks and repair notes, a table of the words their marks place in the
// submitted text, and the repairs.
void PrintTokenised(const std::string& submitted, const std::string& sent) {
    std::string shown;
    std::vector<WordMark> words;
    std::vector<std::string> repairs;
    size_t i = 0;
    while (i < sent.size()) {
        const size_t lt = sent.find('<', i);
        const size_t gt = lt == std::string::npos ? lt : sent.find('>', lt);
        if (gt == std::string::npos) {
            shown.append(sent, i, std::string::npos);
            break;
        }
        shown.append(sent, i, lt - i);
        const std::string tag = sent.substr(lt, gt + 1 - lt);
        i = gt + 1;
        WordMark word;
        if (ReadWordMark(tag, &word)) {
            words.push_back(word);
            continue;
        }
        if (tag == "<mark name=\"kvox_final\"/>") {
            continue;  // the end of the text
        }
        const RepairNote* note = nullptr;
        for (const RepairNote& known : kRepairNotes) {
            if (tag == known.tag) {
                note = &known;
            }
        }
        if (note == nullptr) {
            shown += tag;
            continue;
        }
        std::string element;
        const size_t close = sent.find('>', i);
        if (sent.compare(i, 2, "</") == 0 && close != std::string::npos) {
            element = sent.substr(i + 2, close - i - 2);
        }
        char line[256];
        snprintf(line, sizeof line, note->words, element.c_str());
        repairs.push_back(line);
    }
    fputs(shown.c_str(), stdout);
    fputs(!shown.empty() && shown.back() != '\n' ? "\n\n" : "\n", stdout);

    const char* headers[] = {"word", "at char", "at byte", "chars", "bytes"};
    int widths[5];
    for (int c = 0; c < 5; ++c) {
        widths[c] = static_cast<int>(strlen(headers[c]));
    }
    for (const WordMark& word : words) {
        const long long values[] = {static_cast<long long>(words.size()), word.atChar,
                                    word.atByte, word.chars, word.bytes};
        for (int c = 0; c < 5; ++c) {
            widths[c] = std::max(widths[c], Digits(values[c]));
        }
    }
    printf("%*s  %*s  %*s  %*s  %*s  text\n", widths[0], headers[0], widths[1], headers[1],
           widths[2], headers[2], widths[3], headers[3], widths[4], headers[4]);
    for (size_t n = 0; n < words.size(); ++n) {
        const WordMark& word = words[n];
        const bool inside = word.atByte >= 0 && word.bytes >= 0 &&
                            static_cast<size_t>(word.atByte + word.bytes) <= submitted.size();
        const std::string text =
            inside ? submitted.substr(static_cast<size_t>(word.atByte),
                                      static_cast<size_t>(word.bytes))
                   : "?";
        printf("%*zu  %*lld  %*lld  %*lld  %*lld  %s\n", widths[0], n + 1, widths[1],
               word.atChar, widths[2], word.atByte, widths[3], word.chars, widths[4], word.bytes,
               text.c_str());
    }
    if (!repairs.empty()) {
        printf("\nmarkup repaired:\n");
        for (const std::string& repair : repairs) {
            printf("  %s\n", repair.c_str());
        }
    }
}

// The channel the client uses, fed the whole file in one final call: markup
// input, the built-in configuration, marks before every word, the same
// 4096-byte pieces. With xml false the channel reads plain text instead (its
// markup characters become words), a mode the client never uses.
int Tokenise(const std::string& path, bool xml, bool raw) {
    std::string text;
    if (!ReadFile(path, &text)) {
        return 1;
    }
    KVTP_tpc* channel = KVTP_tpc_newtype(nullptr, nullptr, xml ? 1 : 0, "CLIENT", KVTP_TPC_TK);
    if (channel == nullptr) {
        fprintf(stderr, "vrelay-text: out of memory\n");
        return 1;
    }
    // The channel keeps one user data pointer for all its callbacks.
    std::string sent;
    KVTP_tpc_set_text_callback(channel, AppendText, &sent);
    KVTP_tpc_set_application_callback(channel, IgnoreTag, &sent);
    KVTP_tpc_process(channel, text.data(), static_cast<int32_t>(text.size()), 1);
    KVTP_tpc_delete(channel);
    if (raw) {
        fwrite(sent.data(), 1, sent.size(), stdout);
    } else {
        PrintTokenised(text, sent);
    }
    return 0;
}

// Builds spurts from an XML document: every white-space separated word is a
// token carrying a tag for each element open around it; a break element ends
// the spurt. Each spurt starts and ends with an empty token that holds the
// pause markup, as the model expects. Each spurt is printed when it ends: as
// the model's XML, or as a line of its words with the elements around them.
class SpurtBuilder {
  public:
    explicit SpurtBuilder(bool raw) : raw_(raw) {}
    SpurtBuilder(const SpurtBuilder&) = delete;
    SpurtBuilder& operator=(const SpurtBuilder&) = delete;
    ~SpurtBuilder() {
        KVTP_dystr_delete(xml_);
        KVTP_toxpool_delete(pool_);
    }

    bool Ready() const { return pool_ != nullptr && xml_ != nullptr; }

    void Start(const char* name, const char** atts) {
        FlushWord();
        if (strcmp(name, "break") == 0) {
            EndSpurt(BreakMilliseconds(atts));
            return;
        }
        Element element{name, {}, nullptr, false, elements_++};
        for (int i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) {
            element.attributes.emplace_back(atts[i], atts[i + 1]);
        }
        open_.push_back(element);
    }

    void End(const char* name) {
        FlushWord();
        if (strcmp(name, "break") == 0 || open_.empty()) {
            return;
        }
        Element& element = open_.back();
        if (element.last != nullptr) {
            CloseOnLastToken(element);
        } else if (last_ != nullptr) {
            // An element without words is placed after the word before it.
            AddTag(last_, element, KVTP_TOXTAG_CLOSED);
            line_ += StartTag(element, true);
        }
        open_.pop_back();
    }

    // Character data may come in pieces (an entity is one): a word ends at
    // white space or markup.
    void Text(const char* text, int32_t len) {
        for (int32_t i = 0; i < len; ++i) {
            if (IsSpace(text[i])) {
                FlushWord();
            } else {
                word_ += text[i];
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
        int serial;         // which element of the document it is
    };

    // The element's tag on its latest token becomes its end.
    static void CloseOnLastToken(const Element& element) {
        KVTP_toxtag_settype(element.last, element.started ? KVTP_TOXTAG_STARTEND : KVTP_TOXTAG_END);
    }

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    static std::string StartTag(const Element& element, bool empty) {
        std::string tag = "<" + element.name;
        for (const auto& attribute : element.attributes) {
            tag += " " + attribute.first + "=\"" + attribute.second + "\"";
        }
        return tag + (empty ? "/>" : ">");
    }

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
        if (spurt_ == nullptr) {
            spurt_ = KVTP_toxpool_spurt(pool_);
            KVTP_toxspurt_setparent(spurt_, this);
            KVTP_toxspurt_setid(spurt_, spurts_++);
            KVTP_toxspurt_add(spurt_, KVTP_toxpool_token(pool_));  // the leading pause
            last_ = nullptr;
        }
        return spurt_;
    }

    KVTP_toxtag* AddTag(KVTP_toxtoken* token, const Element& element, int32_t type) {
        KVTP_toxtag* tag = KVTP_toxpool_tag(pool_);
        KVTP_toxtag_init(tag, nullptr, element.name.c_str(), -1, type);
        for (const auto& attribute : element.attributes) {
            KVTP_toxtag_add_attrib(tag, attribute.first.c_str(), -1, attribute.second.c_str(), -1);
        }
        KVTP_toxtoken_addtag(token, tag);
        return tag;
    }

    void FlushWord() {
        if (!word_.empty()) {
            Word(word_.data(), static_cast<int32_t>(word_.size()));
            word_.clear();
        }
    }

    void Word(const char* text, int32_t len) {
        KVTP_toxspurt* spurt = Spurt();
        KVTP_toxtoken* token = KVTP_toxpool_token(pool_);
        KVTP_toxtoken_set(token, text, len);
        KVTP_toxtoken_set_norm(token, text, len);
        for (Element& element : open_) {
            element.started = element.last == nullptr;
            element.last =
                AddTag(token, element, element.started ? KVTP_TOXTAG_START : KVTP_TOXTAG_MID);
        }
        KVTP_toxspurt_add(spurt, token);
        last_ = token;
        ShowWord(std::string(text, static_cast<size_t>(len)));
    }

    // The line of the spurt: the elements that ended since the last word
    // closed after it, a blank, the elements that began opened, the word.
    void ShowWord(const std::string& word) {
        size_t kept = 0;
        while (kept < shown_.size() && kept < open_.size() &&
               shown_[kept].serial == open_[kept].serial) {
            ++kept;
        }
        CloseShown(kept);
        if (!line_.empty()) {
            line_ += ' ';
        }
        for (size_t k = kept; k < open_.size(); ++k) {
            line_ += StartTag(open_[k], false);
            shown_.push_back(open_[k]);
        }
        line_ += word;
    }

    void CloseShown(size_t keep) {
        while (shown_.size() > keep) {
            line_ += "</" + shown_.back().name + ">";
            shown_.pop_back();
        }
    }

    // Closes the spurt with a trailing token holding the break and prints it.
    void EndSpurt(int32_t milliseconds) {
        if (spurt_ == nullptr) {
            return;
        }
        // Elements still open end with the spurt and start again in the next.
        for (Element& element : open_) {
            if (element.last != nullptr) {
                CloseOnLastToken(element);
            }
            element.last = nullptr;
        }
        KVTP_toxtoken* tail = KVTP_toxpool_token(pool_);
        KVTP_toxtag* pause = KVTP_toxpool_tag(pool_);
        KVTP_toxtag_newbreak(pause, nullptr, 1, milliseconds);
        KVTP_toxtoken_addtag(tail, pause);
        KVTP_toxspurt_add(spurt_, tail);
        if (raw_) {
            if (KVTP_toxspurt_xml(spurt_, xml_)) {
                fputs(KVTP_dystr_cstr(xml_), stdout);
            }
        } else {
            CloseShown(0);
            if (milliseconds > 0) {
                printf("run %d (%g s pause after): %s\n", spurts_, milliseconds / 1000.0,
                       line_.c_str());
            } else {
                printf("run %d: %s\n", spurts_, line_.c_str());
            }
        }
        KVTP_toxpool_clear(pool_);
        spurt_ = nullptr;
        last_ = nullptr;
        line_.clear();
    }

    const bool raw_;
    KVTP_toxpool* pool_ = KVTP_toxpool_new(4, 64, 256);
    KVTP_dystr* xml_ = KVTP_dystr_new(nullptr, 1024);
    KVTP_toxspurt* spurt_ = nullptr;
    KVTP_toxtoken* last_ = nullptr;  // the latest word token of the spurt
    int32_t spurts_ = 0;
    int elements_ = 0;
    std::vector<Element> open_;
    std::string word_;               // the word read so far
    std::string line_;               // the spurt's words with their elements
    std::vector<Element> shown_;     // the elements open at the end of line_
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

int Spurts(const std::string& path, bool raw) {
    std::string text;
    if (!ReadFile(path, &text)) {
        return 1;
    }
    SpurtBuilder builder(raw);
    KVTP_tpxml* scanner = KVTP_tpxml_new();
    if (!builder.Ready() || scanner == nullptr) {
        fprintf(stderr, "vrelay-text: out of memory\n");
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

int OnFirstStart(void* first, const char* name, const char**) {
    auto* found = static_cast<std::string*>(first);
    if (found->empty()) {
        *found = name;
    }
    return 1;
}

// The name of the document's first element (its root), or "" when it has
// none.
std::string RootElement(const std::string& text) {
    std::string root;
    KVTP_tpxml* scanner = KVTP_tpxml_new();
    if (scanner != nullptr) {
        KVTP_tpxml_set_userdata(scanner, &root);
        KVTP_tpxml_set_element_handler(scanner, OnFirstStart, nullptr);
        KVTP_tpxml_parse(scanner, text.data(), static_cast<int32_t>(text.size()), 1);
        KVTP_tpxml_delete(scanner);
    }
    return root;
}

// Prints "group.attribute=value" for every setting, the built-in ones in their
// document order and then those only the file has. A file that is not a
// configuration document (root element tpconfig) is an error.
int Config(const std::string& path) {
    static const char kRoot[] = "tpconfig";
    std::string text;
    if (!ReadFile(path, &text)) {
        return 1;
    }
    const std::string root = RootElement(text);
    if (root != kRoot) {
        fprintf(stderr, "vrelay-text: %s is not a configuration document: %s\n", path.c_str(),
                root.empty() ? "it holds no XML element"
                             : ("its root element is <" + root + ">, not <tpconfig>").c_str());
        return 1;
    }
    KVTP_config* file = KVTP_config_new(kRoot, -1);
    if (file == nullptr ||
        !KVTP_config_load(file, text.data(), static_cast<int32_t>(text.size()))) {
        fprintf(stderr, "vrelay-text: cannot load the configuration %s\n", path.c_str());
        KVTP_config_delete(file);
        return 1;
    }
    KVTP_configsettings* settings = KVTP_configsettings_new_shared(file);
    if (settings == nullptr) {
        fprintf(stderr, "vrelay-text: out of memory\n");
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

// What the command line asks for; ok false when it is wrong.
struct CommandLine {
    std::string command;
    std::string file;
    bool raw = false;
    bool plainText = false;
    bool help = false;
    bool ok = true;
};

CommandLine Parse(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            line.help = true;
        } else if (argument == "--raw") {
            line.raw = true;
        } else if (argument == "--plain-text") {
            line.plainText = true;
        } else if (argument == "--xml") {
            // The default, as earlier versions spelled it.
        } else if (argument.size() > 1 && argument[0] == '-') {
            line.ok = false;
        } else if (line.command.empty()) {
            line.command = argument;
        } else if (line.file.empty()) {
            line.file = argument;
        } else {
            line.ok = false;
        }
    }
    const bool known =
        line.command == "tokenise" || line.command == "spurts" || line.command == "config";
    if (!known || line.file.empty() || (line.plainText && line.command != "tokenise") ||
        (line.raw && line.command == "config")) {
        line.ok = false;
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine line = Parse(argc, argv);
    if (line.help) {
        printf("%s%s", kUsage, kHelp);
        return 0;
    }
    if (!line.ok) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (line.command == "tokenise") {
        return Tokenise(line.file, !line.plainText, line.raw);
    }
    if (line.command == "spurts") {
        return Spurts(line.file, line.raw);
    }
    return Config(line.file);
}

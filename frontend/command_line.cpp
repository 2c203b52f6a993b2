// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/command_line.h"

#include <getopt.h>

#include <cctype>

#include "platform/command_line.h"
#include "transport/address.h"

namespace vrelay {
namespace frontend {

namespace {

constexpr size_t kHelpColumn = 25;
constexpr int kLongOnly = 256;

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) {
        return false;
    }
    for (size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[text.size() - suffix.size() + i])) !=
            suffix[i]) {
            return false;
        }
    }
    return true;
}

// text in lines of at most width columns, broken at blanks.
std::string Wrap(const std::string& text, size_t width) {
    std::string out, line;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(' ', start), text.size());
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return out + line;
}

OptionSpec ProsodySpec(const char* name, const char* value, Quantity quantity,
                       SpeechOptions* options, std::string* target) {
    return {name, 0, OptionSpec::Argument::kRequired, value, Wrap(ProsodyForms(quantity), 53),
            [=](const std::string& typed, std::string* error) {
                std::string notice;
                if (!ReadTypedProsody(quantity, typed, target, &notice)) {
                    *error = std::string("--") + name + " wants " + ProsodyForms(quantity) +
                             ", not \"" + typed + "\"";
                    return false;
                }
                if (!notice.empty()) {
                    options->notices.push_back(std::string("--") + name + " " + notice);
                }
                return true;
            }};
}

}  // namespace

bool ParseOptions(int argc, char** argv, const std::vector<OptionSpec>& table,
                  std::vector<std::string>* words, std::string* error) {
    std::vector<option> longs;
    std::string shorts = ":";  // a missing value comes back as ':'
    for (size_t i = 0; i < table.size(); ++i) {
        const OptionSpec& spec = table[i];
        const int kind = spec.argument == OptionSpec::Argument::kNone       ? no_argument
                         : spec.argument == OptionSpec::Argument::kRequired ? required_argument
                                                                            : optional_argument;
        const int value = spec.letter != 0 ? spec.letter : kLongOnly + static_cast<int>(i);
        longs.push_back({spec.name, kind, nullptr, value});
        if (spec.letter != 0) {
            shorts += spec.letter;
            shorts += kind == required_argument ? ":" : kind == optional_argument ? "::" : "";
        }
    }
    longs.push_back({nullptr, 0, nullptr, 0});
    optind = 0;  // a fresh scan (glibc), also when called again
    opterr = 0;  // the messages are ours
    int c;
    while ((c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) != -1) {
        const OptionSpec* spec = nullptr;
        for (size_t i = 0; i < table.size() && spec == nullptr; ++i) {
            if (c == (table[i].letter != 0 ? table[i].letter : kLongOnly + static_cast<int>(i))) {
                spec = &table[i];
            }
        }
        if (spec == nullptr) {  // ':' or '?'
            *error = OptionError(c, argv);
            return false;
        }
        if (spec->take && !spec->take(optarg != nullptr ? optarg : "", error)) {
            return false;
        }
    }
    for (int i = optind; i < argc; ++i) {
        words->push_back(argv[i]);
    }
    return true;
}

std::string OptionHelp(const std::vector<OptionSpec>& table) {
    std::string help;
    for (const OptionSpec& spec : table) {
        std::string left = spec.letter != 0 ? std::string("  -") + spec.letter + ", --" : "      --";
        left += spec.name;
        if (spec.value != nullptr) {
            left += spec.argument == OptionSpec::Argument::kOptional
                        ? std::string("[=") + spec.value + "]"
                        : std::string("=") + spec.value;
        }
        left += left.size() < kHelpColumn ? std::string(kHelpColumn - left.size(), ' ') : "  ";
        size_t start = 0;
        while (start <= spec.help.size()) {
            const size_t end = std::min(spec.help.find('\n', start), spec.help.size());
            help += (start == 0 ? left : std::string(kHelpColumn, ' ')) +
                    spec.help.substr(start, end - start) + "\n";
            start = end + 1;
        }
    }
    return help;
}

OptionSpec NumberOption(const char* name, const char* value, std::string help, long low,
                        long high, std::function<void(long)> store, const char* what) {
    return {name, 0, OptionSpec::Argument::kRequired, value, std::move(help),
            [=](const std::string& typed, std::string* error) {
                long number = 0;
                if (!ParseWholeNumber(typed, low, high, &number)) {
                    *error = std::string("--") + name + " wants " +
                             (what != nullptr ? std::string(what)
                                              : "a number from " + std::to_string(low) + " to " +
                                                    std::to_string(high)) +
                             ", not \"" + typed + "\"";
                    return false;
                }
                store(number);
                return true;
            }};
}

std::vector<OptionSpec> SpeechOptionSpecs(SpeechOptions* options) {
    using Argument = OptionSpec::Argument;
    const auto flag = [](bool* target) {
        return [target](const std::string&, std::string*) { return *target = true; };
    };
    return {
        {"markup", 'm', Argument::kNone, nullptr, "the text is markup (tags, entities)",
         flag(&options->markup)},
        {"plain", 0, Argument::kNone, nullptr, "the text is plain, whatever the file name",
         flag(&options->plain)},
        {"voice", 'v', Argument::kRequired, "VOICE",
         "a voice name, a language (fr, de-DE, french), or a\n"
         "language and a variant (en+f3, +whisper)",
         [options](const std::string& value, std::string*) {
             options->voice = value;
             return true;
         }},
        {"list-voices", 0, Argument::kOptional, "LANG",
         "print the server's voices (of LANG) and variants",
         [options](const std::string& value, std::string*) {
             options->listLanguage = value;
             return options->listVoices = true;
         }},
        ProsodySpec("rate", "R", Quantity::kRate, options, &options->prosody.rate),
        ProsodySpec("pitch", "P", Quantity::kPitch, options, &options->prosody.pitch),
        ProsodySpec("volume", "V", Quantity::kVolume, options, &options->prosody.volume),
        {"server", 0, Argument::kRequired, "HOST:PORT",
         "use a running server (default: start one here);\n"
         "HOST:PORT,HOST:PORT... tries them in order",
         [options](const std::string& value, std::string* error) {
             std::vector<HostPort> addresses;
             std::string entry;
             if (!ParseAddressList(value, &addresses, &entry)) {
                 *error = "--server wants HOST:PORT[,HOST:PORT...], not \"" + value + "\"";
                 return false;
             }
             options->server = value;
             options->host = addresses[0].host;
             options->port = addresses[0].port;
             options->fallbacks.assign(addresses.begin() + 1, addresses.end());
             return true;
         }},
        {"no-resume", 0, Argument::kNone, nullptr,
         "end the text when its server fails mid-text\n"
         "(default: go on from the last word on a server that answers)",
         [options](const std::string&, std::string*) {
             options->resume = false;
             return true;
         }},
        {"engine", 0, Argument::kRequired, "NAME",
         "engine of the server started here: espeak or tone",
         [options](const std::string& value, std::string* error) {
             if (value != "espeak" && value != "tone") {
                 *error = "--engine wants espeak or tone, not \"" + value + "\"";
                 return false;
             }
             options->engine = value;
             return true;
         }},
    };
}

bool IsMarkupFileName(const std::string& path) {
    for (const char* suffix : {".xml", ".ssml", ".html", ".htm"}) {
        if (EndsWithIgnoringCase(path, suffix)) {
            return true;
        }
    }
    return false;
}

}  // namespace frontend
}  // namespace vrelay

#include "tools/say_options.h"

#include <cctype>
#include <cstdlib>

namespace vrelay {
namespace tools {

const char kSayUsage[] =
    "usage: vrelay-say [options] [TEXT...]\n"
    "Speaks TEXT (or the --file, or standard input) into a WAV file.\n"
    "The text is spoken as written; --markup reads it as SSML-like markup.\n"
    "\n"
    "  -o, --output FILE      WAV file to write, '-' for standard output\n"
    "                         (default: vrelay.wav)\n"
    "  -f, --file FILE        read the text from FILE ('-' for standard input);\n"
    "                         *.xml, *.ssml, *.html and *.htm are read as markup\n"
    "      --markup           the text is markup (tags, entities)\n"
    "      --plain            the text is plain, whatever the file name\n"
    "      --server HOST:PORT use a running server (default: start one here)\n"
    "      --engine NAME      engine of the server started here: espeak or tone\n"
    "      --voice VOICE      a voice name or a language (fr, de-DE, french)\n"
    "      --list-voices [LANG]  print the server's voices (of LANG) and exit\n"
    "      --rate R           speaking rate: x-slow ... x-fast, 150%, +20%\n"
    "      --pitch P          pitch: x-low ... x-high, +10%, 120Hz\n"
    "      --volume V         volume: silent ... x-loud, 80%, +6dB\n"
    "      --marks            print each word's start time and the word\n"
    "      --phonemes         print each phoneme's start time, duration and name\n"
    "                         (on standard error when the WAV goes to standard output)\n"
    "      --encoding KIND    pcm (16-bit), ulaw or alaw (8-bit G.711)\n"
    "      --sample-rate N    resample to N Hz (8000 with ulaw: telephone audio)\n"
    "      --timeline FILE    draw the waveform, words and phonemes as SVG\n"
    "      --async            render on the library's worker thread\n"
    "      --stream           push standard input line by line, flush at the end\n"
    "  -q, --quiet            no progress line or summary\n"
    "  -v, --verbose          log the embedded server's sessions\n"
    "      --version          print the version and exit\n"
    "  -h, --help             this text\n"
    "\n"
    "Exit codes: 0 done, 1 bad usage, 2 no server, 3 unknown voice,\n"
    "4 cannot write the output file, 5 the render failed.\n";

namespace {

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

// Prosody values go into an attribute: keywords, numbers, signs, units.
bool IsProsodyValue(const std::string& value) {
    if (value.empty()) {
        return false;
    }
    for (char c : value) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '+' && c != '-' &&
            c != '%') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsMarkupFileName(const std::string& path) {
    for (const char* suffix : {".xml", ".ssml", ".html", ".htm"}) {
        if (EndsWithIgnoringCase(path, suffix)) {
            return true;
        }
    }
    return false;
}

bool ParseSayArgs(int argc, const char* const* argv, SayOptions* options, std::string* error) {
    bool plain = false;
    std::string sampleRate;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                *error = "option " + arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        struct Valued {
            const char* shortName;
            const char* longName;
            std::string* target;
        };
        const Valued valued[] = {
            {"-o", "--output", &options->output},   {"-f", "--file", &options->file},
            {"", "--server", &options->server},     {"", "--engine", &options->engine},
            {"", "--voice", &options->voice},       {"", "--encoding", &options->encoding},
            {"", "--timeline", &options->timeline}, {"", "--rate", &options->rate},
            {"", "--pitch", &options->pitch},       {"", "--volume", &options->volume},
            {"", "--sample-rate", &sampleRate},
        };
        struct Flag {
            const char* shortName;
            const char* longName;
            bool* target;
        };
        const Flag flags[] = {
            {"", "--markup", &options->markup}, {"", "--plain", &plain},
            {"", "--marks", &options->marks},   {"", "--phonemes", &options->phonemes},
            {"", "--async", &options->async},   {"", "--stream", &options->stream},
            {"-q", "--quiet", &options->quiet}, {"-v", "--verbose", &options->verbose},
            {"-h", "--help", &options->help},   {"", "--version", &options->version},
        };
        bool known = false;
        for (const Valued& v : valued) {
            if (arg == v.longName || (v.shortName[0] != 0 && arg == v.shortName)) {
                if (!value(v.target)) {
                    return false;
                }
                known = true;
            }
        }
        for (const Flag& f : flags) {
            if (arg == f.longName || (f.shortName[0] != 0 && arg == f.shortName)) {
                *f.target = true;
                known = true;
            }
        }
        if (known) {
            continue;
        }
        if (arg == "--list-voices") {
            options->listVoices = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                options->listLanguage = argv[++i];
            }
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                options->words.push_back(argv[i]);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        } else {
            options->words.push_back(arg);
        }
    }
    if (options->encoding != "pcm" && options->encoding != "ulaw" && options->encoding != "alaw") {
        *error = "unknown encoding \"" + options->encoding + "\" (pcm, ulaw or alaw)";
        return false;
    }
    for (const std::string* prosody : {&options->rate, &options->pitch, &options->volume}) {
        if (!prosody->empty() && !IsProsodyValue(*prosody)) {
            *error = "\"" + *prosody + "\" is not a prosody value (like slow, 120%, +10%)";
            return false;
        }
    }
    if (!sampleRate.empty()) {
        char* end = nullptr;
        const long rate = std::strtol(sampleRate.c_str(), &end, 10);
        if (*end != '\0' || rate < 1000 || rate > 192000) {
            *error =
                "--sample-rate wants a rate from 1000 to 192000 Hz, not \"" + sampleRate + "\"";
            return false;
        }
        options->sampleRate = static_cast<int>(rate);
    }
    if (options->stream && options->async) {
        *error = "--stream and --async cannot be combined";
        return false;
    }
    if (plain && options->markup) {
        *error = "--markup and --plain cannot be combined";
        return false;
    }
    if (!plain && !options->file.empty() && IsMarkupFileName(options->file)) {
        options->markup = true;
    }
    return true;
}

}  // namespace tools
}  // namespace vrelay

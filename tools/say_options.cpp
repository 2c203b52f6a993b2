// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say_options.h"

#include <getopt.h>

#include <cctype>
#include <cstdlib>

#include "platform/command_line.h"
#include "server/prosody.h"

namespace vrelay {
namespace tools {

const char kSayUsage[] =
    "usage: vrelay-say [options] [TEXT...]\n"
    "Speaks TEXT (or the --file, or standard input) through the sound server,\n"
    "or into a WAV file with -o. The text is spoken as written; --markup reads\n"
    "it as SSML-like markup.\n"
    "\n"
    "  -o, --output=FILE      write a WAV file instead of playing ('-': standard\n"
    "                         output)\n"
    "      --play             play as well when writing a file\n"
    "      --follow           show each word as it is heard (highlighted on a\n"
    "                         terminal, one timed line each otherwise)\n"
    "  -f, --file=FILE        read the text from FILE ('-': standard input);\n"
    "                         *.xml, *.ssml, *.html and *.htm are read as markup\n"
    "  -m, --markup           the text is markup (tags, entities)\n"
    "      --plain            the text is plain, whatever the file name\n"
    "  -v, --voice=VOICE      a voice name, a language (fr, de-DE, french), or a\n"
    "                         language and a variant (en+f3)\n"
    "      --list-voices[=LANG]  print the server's voices (of LANG) and variants\n"
    "      --rate=R           x-slow, slow, medium, fast, x-fast; 150% of the\n"
    "                         voice's rate; +20% or -20%; 150wpm (80 to 800 words\n"
    "                         a minute)\n"
    "      --pitch=P          x-low ... x-high; 120% of the voice's pitch; +10%,\n"
    "                         -2st; 120Hz (within the voice's reach, 0.65 to\n"
    "                         1.68 times its own pitch)\n"
    "      --volume=V         silent, x-soft, soft, medium, loud, x-loud; 50%;\n"
    "                         -6dB, +3dB (at most +6 dB)\n"
    "      --marks            print each word's start time and the word\n"
    "      --phonemes         print each phoneme's start time, duration and name\n"
    "                         (on standard error when the WAV goes to standard\n"
    "                         output)\n"
    "      --encoding=KIND    pcm (16-bit), ulaw or alaw (8-bit G.711)\n"
    "      --sample-rate=N    resample the file to N Hz (8000 with ulaw: telephone)\n"
    "      --timeline=FILE    draw the waveform, words and phonemes as SVG\n"
    "      --stream           speak standard input as it arrives: each line or\n"
    "                         sentence as soon as it ends\n"
    "      --async            render on the library's worker thread\n"
    "      --server=HOST:PORT use a running server (default: start one here)\n"
    "      --engine=NAME      engine of the server started here: espeak or tone\n"
    "  -q, --quiet            no progress line or summary\n"
    "      --verbose          log the embedded server's sessions\n"
    "      --version          print the version and exit\n"
    "  -h, --help             this text\n"
    "\n"
    "Exit codes: 0 done, 1 the speech failed partway, 2 bad usage, 3 no speech\n"
    "server, 4 unknown voice, 5 cannot read the input, 6 cannot write the output,\n"
    "7 no sound server to play through.\n";

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

enum LongOnly {
    kPlay = 256,
    kFollow,
    kPlain,
    kListVoices,
    kRate,
    kPitch,
    kVolume,
    kMarks,
    kPhonemes,
    kEncoding,
    kSampleRate,
    kTimeline,
    kStream,
    kAsync,
    kServer,
    kEngine,
    kVerbose,
    kVersion,
};

const option kOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"play", no_argument, nullptr, kPlay},
    {"follow", no_argument, nullptr, kFollow},
    {"file", required_argument, nullptr, 'f'},
    {"markup", no_argument, nullptr, 'm'},
    {"plain", no_argument, nullptr, kPlain},
    {"voice", required_argument, nullptr, 'v'},
    {"list-voices", optional_argument, nullptr, kListVoices},
    {"rate", required_argument, nullptr, kRate},
    {"pitch", required_argument, nullptr, kPitch},
    {"volume", required_argument, nullptr, kVolume},
    {"marks", no_argument, nullptr, kMarks},
    {"phonemes", no_argument, nullptr, kPhonemes},
    {"encoding", required_argument, nullptr, kEncoding},
    {"sample-rate", required_argument, nullptr, kSampleRate},
    {"timeline", required_argument, nullptr, kTimeline},
    {"stream", no_argument, nullptr, kStream},
    {"async", no_argument, nullptr, kAsync},
    {"server", required_argument, nullptr, kServer},
    {"engine", required_argument, nullptr, kEngine},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, kVerbose},
    {"version", no_argument, nullptr, kVersion},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

bool IsMarkupFileName(const std::string& path) {
    for (const char* suffix : {".xml", ".ssml", ".html", ".htm"}) {
        if (EndsWithIgnoringCase(path, suffix)) {
            return true;
        }
    }
    return false;
}

bool ParseSayArgs(int argc, char** argv, SayOptions* options, std::string* error) {
    bool plain = false;
    bool output = false;
    std::string sampleRate;
    optind = 0;  // a fresh scan (glibc), also when called again
    opterr = 0;  // the messages are ours
    int c;
    while ((c = getopt_long(argc, argv, ":o:f:mv:qh", kOptions, nullptr)) != -1) {
        switch (c) {
            case 'o':
                options->output = optarg;
                output = true;
                break;
            case kPlay:
                options->play = true;
                break;
            case kFollow:
                options->follow = true;
                break;
            case 'f':
                options->file = optarg;
                break;
            case 'm':
                options->markup = true;
                break;
            case kPlain:
                plain = true;
                break;
            case 'v':
                options->voice = optarg;
                break;
            case kListVoices:
                options->listVoices = true;
                options->listLanguage = optarg != nullptr ? optarg : "";
                break;
            case kRate:
                options->rate = optarg;
                break;
            case kPitch:
                options->pitch = optarg;
                break;
            case kVolume:
                options->volume = optarg;
                break;
            case kMarks:
                options->marks = true;
                break;
            case kPhonemes:
                options->phonemes = true;
                break;
            case kEncoding:
                options->encoding = optarg;
                break;
            case kSampleRate:
                sampleRate = optarg;
                break;
            case kTimeline:
                options->timeline = optarg;
                break;
            case kStream:
                options->stream = true;
                break;
            case kAsync:
                options->async = true;
                break;
            case kServer:
                options->server = optarg;
                break;
            case kEngine:
                options->engine = optarg;
                break;
            case 'q':
                options->quiet = true;
                break;
            case kVerbose:
                options->verbose = true;
                break;
            case kVersion:
                options->version = true;
                break;
            case 'h':
                options->help = true;
                break;
            default:  // ':' or '?'
                *error = OptionError(c, argv);
                return false;
        }
    }
    for (int i = optind; i < argc; ++i) {
        options->words.push_back(argv[i]);
    }
    // "--list-voices fr", as people type it, names the language too.
    if (options->listVoices && options->listLanguage.empty() && options->words.size() == 1) {
        options->listLanguage = options->words.front();
        options->words.clear();
    }
    if (options->encoding != "pcm" && options->encoding != "ulaw" && options->encoding != "alaw") {
        *error = "unknown encoding \"" + options->encoding + "\" (pcm, ulaw or alaw)";
        return false;
    }
    server::Prosody prosody;
    const struct {
        const std::string& value;
        bool (*apply)(const std::string&, server::Prosody*);
        const char* what;
    } prosodyOptions[] = {
        {options->rate, server::ApplyRate,
         "--rate wants x-slow ... x-fast, 50% to 450%, +N%, -N% "
         "or 80wpm to 800wpm"},
        {options->pitch, server::ApplyPitch,
         "--pitch wants x-low ... x-high, N%, +N%, -N%, "
         "+Nst, -Nst or 40Hz to 500Hz"},
        {options->volume, server::ApplyVolume,
         "--volume wants silent, x-soft ... x-loud, N% "
         "or -NdB to +6dB"},
    };
    for (const auto& p : prosodyOptions) {
        if (!p.value.empty() && !p.apply(p.value, &prosody)) {
            *error = std::string(p.what) + ", not \"" + p.value + "\"";
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
    // Without a file to write, the audio is played; following it needs it
    // played.
    options->play = options->play || options->follow || !output;
    return true;
}

}  // namespace tools
}  // namespace vrelay

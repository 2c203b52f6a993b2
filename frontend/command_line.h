// SPDX-License-Identifier: GPL-3.0-or-later
// The doors' command lines: one table-driven parser with GNU conventions
// (options and words in any order, --name=value or --name value, clustered
// short options, "--" ends the options), the help text made from the same
// table, and the options every speaking door shares (--voice, --rate,
// --pitch, --volume, --markup, --plain, --list-voices, --server, --engine),
// read the same way everywhere: prosody through the one prosody mapping (a
// value out of reach moves into it with a notice), the server through
// transport's HOST:PORT parser.
//
// Doors: vrelay-say builds its table from SpeechOptionSpecs and its own
// options (output, playback, marks ...); vrelay-web can do the same for its
// --server/--engine and its listener's options; the Python package's
// argparse takes the same names and forms. Not thread-safe (getopt_long's
// state is the process's): parse on one thread, before starting others.
#ifndef VRELAY_FRONTEND_COMMAND_LINE_H
#define VRELAY_FRONTEND_COMMAND_LINE_H

#include <functional>
#include <string>
#include <vector>

#include "frontend/prosody.h"

namespace vrelay {
namespace frontend {

struct OptionSpec {
    enum class Argument { kNone, kRequired, kOptional };
    const char* name;  // the long name, "output"
    char letter;       // the short one, 0 for none
    Argument argument;
    const char* value;  // its value's name in the help ("FILE"), or null
    std::string help;   // lines separated by '\n'
    // Takes the value ("" for none, or an optional value not given); false
    // with *error (one line) for a bad one.
    std::function<bool(const std::string& value, std::string* error)> take;
};

// Reads argv with the table; the words that are not options go to *words,
// in order. False with a one-line *error for an unknown option, a missing
// value or a value its option refused.
bool ParseOptions(int argc, char** argv, const std::vector<OptionSpec>& table,
                  std::vector<std::string>* words, std::string* error);

// The table's lines of a help text: "  -o, --output=FILE      write ...",
// descriptions from column 26.
std::string OptionHelp(const std::vector<OptionSpec>& table);

// What every speaking door's command line may ask for.
struct SpeechOptions {
    std::string voice;  // as typed, for the server (see SpeechJob::voice)
    ProsodySetting prosody;
    std::vector<std::string> notices;  // prosody values moved into reach
    bool markup = false;
    bool plain = false;
    bool listVoices = false;
    std::string listLanguage;  // --list-voices=LANG
    std::string server;        // HOST:PORT as typed, "" for the embedded server
    std::string host;
    int port = 0;
    std::string engine = "espeak";
};

// The rows of those options, reading into *options (which must outlive the
// parse).
std::vector<OptionSpec> SpeechOptionSpecs(SpeechOptions* options);

// Files named *.xml, *.ssml, *.html or *.htm hold markup.
bool IsMarkupFileName(const std::string& path);

}  // namespace frontend
}  // namespace vrelay

#endif

// SPDX-License-Identifier: GPL-3.0-or-later
// The doors' command lines: one table-driven parser with GNU conventions
// (options and words in any order, --name=value or --name value, clustered
// short options, "--" ends the options), the help text made from the same
// table, and the options every speaking door shares (--voice, --rate,
// --pitch, --volume, --markup, --plain, --list-voices, --server, --no-resume,
// --engine),
// read the same way everywhere: prosody through the one prosody mapping (a
// value out of reach moves into it with a notice), the server through
// transport's HOST:PORT parser.
//
// Doors: vrelay-say builds its table from SpeechOptionSpecs and its own
// options (output, playback, marks ...); vrelay-web takes --server and
// --engine from it and adds its listener's options (NumberOption for the
// numbers); the Python package's
// argparse takes the same names and forms. Not thread-safe (getopt_long's
// state is the process's): parse on one thread, before starting others.
#ifndef VRELAY_FRONTEND_COMMAND_LINE_H
#define VRELAY_FRONTEND_COMMAND_LINE_H

#include <functional>
#include <string>
#include <vector>

#include "frontend/prosody.h"
#include "transport/address.h"

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

// A row that takes a whole number from low to high and hands it to store;
// any other value is refused: "--NAME wants a number from LOW to HIGH, not
// "x"" (what, when given, says what instead: "a port number").
OptionSpec NumberOption(const char* name, const char* value, std::string help, long low,
                        long high, std::function<void(long)> store, const char* what = nullptr);

// What every speaking door's command line may ask for.
struct SpeechOptions {
    std::string voice;  // as typed, for the server (see SpeechJob::voice)
    ProsodySetting prosody;
    std::vector<std::string> notices;  // prosody values moved into reach
    bool markup = false;
    bool plain = false;
    bool listVoices = false;
    std::string listLanguage;  // --list-voices=LANG
    std::string server;        // HOST:PORT[,HOST:PORT...] as typed, "" for the embedded server
    std::string host;          // the first address
    int port = 0;
    std::vector<HostPort> fallbacks;  // the others, tried in order when it fails
    bool resume = true;               // a text goes on after its server failed
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

// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-say's command line: the options every speaking door shares (the
// core's SpeechOptionSpecs) and its own, in one table.
#ifndef VRELAY_TOOLS_SAY_OPTIONS_H
#define VRELAY_TOOLS_SAY_OPTIONS_H

#include <string>
#include <vector>

#include "frontend/command_line.h"

namespace vrelay {
namespace tools {

struct SayOptions {
    frontend::SpeechOptions speech;  // voice, prosody, markup, server ...
    std::string output;              // WAV file to write, "-": standard output, "": none
    std::string file;                // "-": standard input
    std::string encoding = "pcm";
    std::string timeline;  // SVG file to draw, or ""
    int sampleRate = 0;    // 0: the server's rate
    std::vector<std::string> words;
    bool markup = false;  // after ParseSayArgs: the text is markup
    bool play = false;    // after ParseSayArgs: play through the sound server
    bool follow = false;
    bool marks = false;
    bool phonemes = false;
    bool async = false;
    bool stream = false;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Reads the arguments into *options; false with a one-line *error for bad
// usage.
bool ParseSayArgs(int argc, char** argv, SayOptions* options, std::string* error);

// The --help text.
std::string SayUsage();

}  // namespace tools
}  // namespace vrelay

#endif

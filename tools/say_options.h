// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-say's command line.
#ifndef VRELAY_TOOLS_SAY_OPTIONS_H
#define VRELAY_TOOLS_SAY_OPTIONS_H

#include <string>
#include <vector>

namespace vrelay {
namespace tools {

extern const char kSayUsage[];

struct SayOptions {
    std::string output;  // WAV file to write, "-": standard output, "": none
    std::string file;    // "-": standard input
    std::string server;
    std::string engine = "espeak";
    std::string voice;
    std::string encoding = "pcm";
    std::string timeline;  // SVG file to draw, or ""
    std::string rate, pitch, volume;
    int sampleRate = 0;  // 0: the server's rate
    std::vector<std::string> words;
    bool listVoices = false;
    std::string listLanguage;  // --list-voices=LANG
    bool markup = false;       // after ParseSayArgs: the text is markup
    bool play = false;         // after ParseSayArgs: play through the sound server
    bool follow = false;
    bool marks = false;
    bool phonemes = false;
    bool async = false;
    bool stream = false;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool version = false;

    bool Prosody() const { return !rate.empty() || !pitch.empty() || !volume.empty(); }
};

// Reads the arguments into *options (GNU conventions: options and words in
// any order, --name=value, clustered short options, "--" ends the options);
// false with a one-line *error for bad usage.
bool ParseSayArgs(int argc, char** argv, SayOptions* options, std::string* error);

// Files named *.xml, *.ssml, *.html or *.htm hold markup.
bool IsMarkupFileName(const std::string& path);

}  // namespace tools
}  // namespace vrelay

#endif

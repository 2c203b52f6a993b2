// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say_options.h"

#include <algorithm>

#include "frontend/exit_codes.h"
#include "transport/address.h"

namespace vrelay {
namespace tools {

namespace {

using frontend::OptionSpec;
using Argument = OptionSpec::Argument;

const char kIntroduction[] =
    "usage: vrelay-say [options] [TEXT...]\n"
    "Speaks TEXT (or the --file, or standard input) through the sound server,\n"
    "or into a WAV file with -o. The text is spoken as written; --markup reads\n"
    "it as SSML-like markup.\n"
    "\n";

std::function<bool(const std::string&, std::string*)> Flag(bool* target) {
    return [target](const std::string&, std::string*) { return *target = true; };
}

std::function<bool(const std::string&, std::string*)> Text(std::string* target) {
    return [target](const std::string& value, std::string*) {
        *target = value;
        return true;
    };
}

// The table in the order of the help text; the shared rows by name.
std::vector<OptionSpec> Table(SayOptions* o, bool* output) {
    const std::vector<OptionSpec> shared = frontend::SpeechOptionSpecs(&o->speech);
    const auto row = [&](const char* name) {
        return *std::find_if(shared.begin(), shared.end(),
                             [&](const OptionSpec& spec) { return std::string(spec.name) == name; });
    };
    return {
        {"output", 'o', Argument::kRequired, "FILE",
         "write a WAV file instead of playing ('-': standard\noutput)",
         [o, output](const std::string& value, std::string*) {
             o->output = value;
             return *output = true;
         }},
        {"play", 0, Argument::kNone, nullptr, "play as well when writing a file", Flag(&o->play)},
        {"follow", 0, Argument::kNone, nullptr,
         "show each word as it is heard (highlighted on a\nterminal, one timed line each otherwise)",
         Flag(&o->follow)},
        {"file", 'f', Argument::kRequired, "FILE",
         "read the text from FILE ('-': standard input);\n"
         "*.xml, *.ssml, *.html and *.htm are read as markup",
         Text(&o->file)},
        row("markup"), row("plain"), row("voice"), row("list-voices"), row("rate"), row("pitch"),
        row("volume"),
        {"marks", 0, Argument::kNone, nullptr, "print each word's start time and the word",
         Flag(&o->marks)},
        {"phonemes", 0, Argument::kNone, nullptr,
         "print each phoneme's start time, duration and name\n"
         "(on standard error when the WAV goes to standard\noutput)",
         Flag(&o->phonemes)},
        {"encoding", 0, Argument::kRequired, "KIND", "pcm (16-bit), ulaw or alaw (8-bit G.711)",
         [o](const std::string& value, std::string* error) {
             if (value != "pcm" && value != "ulaw" && value != "alaw") {
                 *error = "unknown encoding \"" + value + "\" (pcm, ulaw or alaw)";
                 return false;
             }
             o->encoding = value;
             return true;
         }},
        {"sample-rate", 0, Argument::kRequired, "N",
         "resample the file to N Hz (8000 with ulaw: telephone)",
         [o](const std::string& value, std::string* error) {
             long rate = 0;
             if (!ParseWholeNumber(value, 1000, 192000, &rate)) {
                 *error = "--sample-rate wants a rate from 1000 to 192000 Hz, not \"" + value + "\"";
                 return false;
             }
             o->sampleRate = static_cast<int>(rate);
             return true;
         }},
        {"timeline", 0, Argument::kRequired, "FILE", "draw the waveform, words and phonemes as SVG",
         Text(&o->timeline)},
        {"stream", 0, Argument::kNone, nullptr,
         "speak standard input as it arrives: each line or\nsentence as soon as it ends",
         Flag(&o->stream)},
        {"async", 0, Argument::kNone, nullptr, "render on the library's worker thread",
         Flag(&o->async)},
        row("server"), row("no-resume"), row("engine"),
        {"quiet", 'q', Argument::kNone, nullptr, "no progress line or summary", Flag(&o->quiet)},
        {"verbose", 0, Argument::kNone, nullptr, "log the embedded server's sessions",
         Flag(&o->verbose)},
        {"version", 0, Argument::kNone, nullptr, "print the version and exit", Flag(&o->version)},
        {"help", 'h', Argument::kNone, nullptr, "this text", Flag(&o->help)},
    };
}

}  // namespace

std::string SayUsage() {
    SayOptions options;
    bool output = false;
    using namespace frontend;
    return kIntroduction + OptionHelp(Table(&options, &output)) + "\n" +
           ExitCodeHelp({kExitOk, kExitSpeechFailed, kExitUsage, kExitNoServer,
                         kExitUnknownVoice, kExitInput, kExitOutput, kExitNoSound});
}

bool ParseSayArgs(int argc, char** argv, SayOptions* options, std::string* error) {
    bool output = false;
    if (!frontend::ParseOptions(argc, argv, Table(options, &output), &options->words, error)) {
        return false;
    }
    frontend::SpeechOptions& speech = options->speech;
    // "--list-voices fr", as people type it, names the language too.
    if (speech.listVoices && speech.listLanguage.empty() && options->words.size() == 1) {
        speech.listLanguage = options->words.front();
        options->words.clear();
    }
    if (options->stream && options->async) {
        *error = "--stream and --async cannot be combined";
        return false;
    }
    if (speech.plain && speech.markup) {
        *error = "--markup and --plain cannot be combined";
        return false;
    }
    options->markup = speech.markup || (!speech.plain && !options->file.empty() &&
                                        frontend::IsMarkupFileName(options->file));
    // Without a file to write, the audio is played; following it needs it
    // played.
    options->play = options->play || options->follow || !output;
    return true;
}

}  // namespace tools
}  // namespace vrelay

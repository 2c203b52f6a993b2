// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/module.h"

#include <sstream>

#include "frontend/embedded_server.h"
#include "frontend/input_cleaner.h"
#include "speechd/speaker.h"
#include "transport/address.h"

namespace vrelay {
namespace speechd {

namespace {

const char* const kBadSyntax = "302 ERROR BAD SYNTAX\n";
const char* const kBadValue = "303 ERROR INVALID PARAMETER OR VALUE\n";

const char* Name(Command command) {
    switch (command) {
        case Command::kSpeak:
            return "SPEAK";
        case Command::kChar:
            return "CHAR";
        case Command::kKey:
            return "KEY";
        case Command::kSoundIcon:
            return "SOUND_ICON";
        case Command::kSet:
            return "SET";
        case Command::kAudio:
            return "AUDIO";
        case Command::kLogLevel:
            return "LOGLEVEL";
        default:
            return "command";
    }
}

// The "name=value" lines of a block; false at a line without "=" or value.
template <typename OnPair>
bool EachPair(const std::string& block, OnPair onPair) {
    std::istringstream lines(block);
    std::string line;
    bool syntax = true;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == line.size()) {
            syntax = false;
            continue;
        }
        onPair(line.substr(0, equals), line.substr(equals + 1));
    }
    return syntax;
}

}  // namespace

Module::Module(ModuleConfig config, int outputFd) : config_(std::move(config)), output_(outputFd) {
    if (config_.logLevel >= 0) {
        log_.SetLevel(config_.logLevel);
    }
    for (const std::string& warning : config_.warnings) {
        log_.Write(2, warning);
    }
}

Module::~Module() {
    speaker_.reset();
    if (embedded_ != nullptr) {
        embedded_->Stop();
    }
}

bool Module::Feed(const char* data, size_t size) {
    reader_.Feed(data, size);
    Request request;
    while (reader_.Next(&request)) {
        if (!Handle(request)) {
            return false;
        }
    }
    return true;
}

bool Module::Handle(const Request& request) {
    if (request.part == Request::kHeader) {
        log_.Write(4, std::string("command ") + Name(request.command));
        switch (request.command) {
            case Command::kSet:
                return output_.Write("203 OK RECEIVING SETTINGS\n");
            case Command::kAudio:
                return output_.Write("207 OK RECEIVING AUDIO SETTINGS\n");
            case Command::kLogLevel:
                return output_.Write("207 OK RECEIVING LOGLEVEL SETTINGS\n");
            default:
                return output_.Write("202 OK RECEIVING MESSAGE\n");
        }
    }
    std::string reply;
    switch (request.command) {
        case Command::kInit:
            reply = Init();
            break;
        case Command::kSpeak:
            reply = Speak(MessageKind::kText, request);
            break;
        case Command::kChar:
            reply = Speak(MessageKind::kCharacter, request);
            break;
        case Command::kKey:
            reply = Speak(MessageKind::kKey, request);
            break;
        case Command::kSoundIcon:
            reply = SoundIcon(request);
            break;
        case Command::kStop:
            if (speaker_ != nullptr) {
                speaker_->Stop();
            }
            return true;  // STOP and PAUSE are not answered
        case Command::kPause:
            if (speaker_ != nullptr && output_.IsOpen(message_)) {
                speaker_->Pause(message_);
            }
            return true;
        case Command::kSet:
            reply = Settings(request);
            break;
        case Command::kAudio:
            reply = Audio(request);
            break;
        case Command::kLogLevel:
            reply = LogLevel(request);
            break;
        case Command::kDebug:
            reply = Debug(request.argument);
            break;
        case Command::kListVoices:
            reply = FormatReply(200, voices_.ListLines(), "OK VOICE LIST SENT");
            break;
        case Command::kQuit:
            speaker_.reset();
            output_.Write("210 OK QUIT\n");
            return false;
        case Command::kUnknown:
            log_.Write(3, "unknown command: " + request.argument.substr(0, 80));
            reply = "300 ERR UNKNOWN COMMAND\n";
            break;
    }
    if (!reply.empty() && reply[0] != '2') {
        log_.Write(3, std::string(Name(request.command)) + " refused: " +
                          reply.substr(0, reply.size() - 1));
    }
    return output_.Write(reply);
}

std::string Module::Init() {
    if (!server_name_.empty()) {
        return FormatReply(299, {"vrelay: speaking through " + server_name_},
                           "OK LOADED SUCCESSFULLY");
    }
    std::string error;
    std::string host = config_.host;
    int port = config_.port;
    if (host.empty()) {
        if (embedded_ == nullptr) {
            embedded_ = frontend::StartEmbeddedServer("espeak", log_.Level() >= 5, &error);
        }
        if (embedded_ == nullptr) {
            return FormatReply(399, {"vrelay: cannot start a speech server: " + error},
                               "ERR CANT INIT MODULE");
        }
        host = "127.0.0.1";
        port = embedded_->Port();
    }
    if (speaker_ == nullptr) {
        // The module's own server is known to be one: no need to check.
        frontend::WorkerOptions options;
        options.host = host;
        options.port = port;
        options.fallbacks = config_.fallbacks;
        options.resume = config_.resume;
        options.checkServer = !config_.host.empty();
        speaker_ = std::make_unique<Speaker>(&output_, &log_, std::move(options));
    }
    std::vector<frontend::VoiceEntry> voices;
    if (!speaker_->Voices(&voices, &error)) {
        return FormatReply(399, {"vrelay: " + error}, "ERR CANT INIT MODULE");
    }
    voices_ = VoiceMap(std::move(voices));
    server_name_ = config_.host.empty() ? "its own speech server"
                                       : "the speech server at " + host + ":" + std::to_string(port);
    log_.Write(1, "speaking through " + server_name_);
    return FormatReply(299, {"vrelay: speaking through " + server_name_}, "OK LOADED SUCCESSFULLY");
}

std::string Module::Speak(MessageKind kind, const Request& request) {
    if (request.overflow) {
        return "302 ERROR MESSAGE TOO LONG\n";
    }
    if (server_name_.empty()) {
        return "401 ERROR NOT INITIALIZED\n";
    }
    if (output_.AnyOpen()) {
        return "401 ERROR ALREADY SPEAKING\n";
    }
    // Bytes that are not UTF-8, comments and the like, as every door cleans them.
    frontend::InputCleaner cleaner(kind == MessageKind::kText);
    Message message;
    message.markup = settings_.Markup(kind, cleaner.Clean(request.block, true));
    for (const std::string& notice : cleaner.TakeNotices()) {
        log_.Write(3, notice);
    }
    message.prosody = settings_.Prosody();
    message.spell = kind == MessageKind::kText && settings_.Spelling();
    message.voices = voices_.Candidates(settings_.SynthesisVoice(), settings_.Language(),
                                        settings_.VoiceType(), config_.defaultVoice);
    if (!output_.Write("200 OK SPEAKING\n")) {
        return std::string();
    }
    message_ = output_.Open();
    speaker_->Speak(message_, std::move(message));
    return std::string();
}

std::string Module::SoundIcon(const Request& request) {
    if (request.overflow || request.block.empty()) {
        return kBadSyntax;
    }
    if (output_.AnyOpen()) {
        return "401 ERROR ALREADY SPEAKING\n";
    }
    // Speech Dispatcher plays its own sound for the icon.
    output_.Write("200 OK SPEAKING\n");
    message_ = output_.Open();
    output_.Event(message_, FormatReply(706, {request.block}, "ICON"));
    output_.Close(message_, "702 END\n");
    return std::string();
}

std::string Module::Settings(const Request& request) {
    if (request.overflow) {
        return kBadSyntax;
    }
    bool syntax = true;
    bool values = true;
    std::istringstream lines(request.block);
    std::string line;
    while (std::getline(lines, line)) {
        const MessageSettings::Result result = settings_.Apply(line);
        syntax = syntax && result != MessageSettings::Result::kBadSyntax;
        values = values && result != MessageSettings::Result::kBadValue;
    }
    return !syntax ? kBadSyntax : !values ? kBadValue : "203 OK SETTINGS RECEIVED\n";
}

std::string Module::Audio(const Request& request) {
    bool values = !request.overflow;
    const bool syntax = EachPair(request.block, [&](const std::string& name, const std::string& value) {
        // The audio always goes back to Speech Dispatcher to play.
        if (name == "audio_output_method" && value != "server") {
            values = false;
        }
    });
    return !syntax ? kBadSyntax : !values ? kBadValue : "203 OK AUDIO INITIALIZED\n";
}

std::string Module::LogLevel(const Request& request) {
    bool values = !request.overflow;
    int level = -1;
    const bool syntax = EachPair(request.block, [&](const std::string& name, const std::string& value) {
        long n = 0;
        if (name == "log_level" && ParseWholeNumber(value, 0, 5, &n)) {
            level = static_cast<int>(n);
        } else {
            values = false;
        }
    });
    if (!syntax) {
        return kBadSyntax;
    }
    if (!values) {
        return kBadValue;
    }
    // A level from the configuration file wins.
    if (level >= 0 && config_.logLevel < 0) {
        log_.SetLevel(level);
    }
    return "203 OK LOGLEVEL SET\n";
}

std::string Module::Debug(const std::string& argument) {
    if (argument.compare(0, 3, "ON ") == 0 && argument.size() > 3) {
        if (!log_.StartDebug(argument.substr(3))) {
            return "303 CANT OPEN CUSTOM DEBUG FILE\n";
        }
        return "200 OK DEBUGGING ON\n";
    }
    if (argument == "OFF") {
        log_.StopDebug();
        return "200 OK DEBUGGING OFF\n";
    }
    return kBadSyntax;
}

}  // namespace speechd
}  // namespace vrelay

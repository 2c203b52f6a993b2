// vrelay-say: speaks text through a speech server into a WAV file.
//
// The client side uses only the public interface (<vrelay/vrelay.h>), as any
// application would. Without --server it starts the reference server inside
// the process on a free loopback port.
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <vrelay/vrelay.h>
#include "server/protocol.h"
#ifndef VRELAY_SAY_NO_EMBEDDED_SERVER
#include "server/speech_server.h"
#endif
#include "tools/wav_writer.h"
#include "transport/log.h"

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitNoServer = 2,
    kExitUnknownVoice = 3,
    kExitCannotWrite = 4,
    kExitRenderFailed = 5,
};

const char kUsage[] =
    "usage: vrelay-say [options] [TEXT...]\n"
    "Speaks TEXT (or the --file, or standard input) into a WAV file.\n"
    "\n"
    "  -o, --output FILE      WAV file to write (default: vrelay.wav)\n"
    "  -f, --file FILE        read the text from FILE ('-' for standard input)\n"
    "      --server HOST:PORT use a running server (default: start one here)\n"
    "      --engine NAME      engine of the server started here: espeak or tone\n"
    "      --voice NAME       voice to speak with\n"
    "      --list-voices      print the server's voices and exit\n"
    "      --marks            print each word's start time and the word\n"
    "      --phonemes         print each phoneme's start time, duration and name\n"
    "      --encoding KIND    pcm (16-bit), ulaw or alaw (8-bit G.711)\n"
    "      --async            render on the library's worker thread\n"
    "      --stream           push standard input line by line, flush at the end\n"
    "  -q, --quiet            no progress line or summary\n"
    "  -v, --verbose          log the embedded server's sessions\n"
    "  -h, --help             this text\n"
    "\n"
    "Exit codes: 0 done, 1 bad usage, 2 no server, 3 unknown voice,\n"
    "4 cannot write the output file, 5 the render failed.\n";

struct Options {
    std::string output = "vrelay.wav";
    std::string file;
    std::string server;
    std::string engine = "espeak";
    std::string voice;
    std::string encoding = "pcm";
    std::vector<std::string> words;
    bool listVoices = false;
    bool marks = false;
    bool phonemes = false;
    bool async = false;
    bool stream = false;
    bool quiet = false;
    bool verbose = false;
};

struct Mark {
    int64_t sample;
    int64_t byteOffset;
    int64_t byteLength;
};

struct Phoneme {
    int64_t sample;
    int64_t duration;
    std::string name;
};

// Everything the callback collects. Sample offsets from the server count
// from the start of each request; the collector turns them into offsets from
// the start of the whole audio.
struct Collector {
    std::mutex mutex;
    std::condition_variable done;
    bool requestDone = false;
    uint32_t sampleRate = 0;
    std::vector<int16_t> samples;
    int64_t requestBase = 0;     // samples before the current server request
    int64_t requestSamples = 0;  // samples of the current server request so far
    std::vector<Mark> marks;
    std::vector<Phoneme> phonemes;
    std::vector<std::string> messages;
    size_t expectedWords = 0;
    bool progress = false;

    // A start offset below what the current request already produced means a
    // new request has begun.
    int64_t Absolute(int64_t offset) {
        if (offset < requestSamples) {
            requestBase += requestSamples;
            requestSamples = 0;
        }
        return requestBase + offset;
    }
};

void ShowProgress(Collector* c) {
    if (!c->progress || c->expectedWords == 0) {
        return;
    }
    std::fprintf(stderr, "\rspeaking: %zu of %zu words", c->marks.size(), c->expectedWords);
    std::fflush(stderr);
}

int32_t VR_CDECL OnPacket(void* user, PACKET_TYPE type, void* data, int32_t length) {
    auto* c = static_cast<Collector*>(user);
    std::lock_guard<std::mutex> guard(c->mutex);
    const auto* bytes = static_cast<const unsigned char*>(data);
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    switch (type) {
        case PACKET_DATA_9: {
            vrelay::server::AudioFormat format;
            if (vrelay::server::DecodeFormat(bytes, size, &format)) {
                c->sampleRate = format.sample_rate;
            }
            break;
        }
        case PACKET_DATA_6: {
            const auto audio = vrelay::server::DecodeAudio(bytes, size);
            c->samples.insert(c->samples.end(), audio.begin(), audio.end());
            c->requestSamples += static_cast<int64_t>(audio.size());
            break;
        }
        case PACKET_DATA_8: {
            vrelay::server::MarkReached mark;
            if (!vrelay::server::DecodeMark(bytes, size, &mark)) {
                break;
            }
            const int64_t sample = c->Absolute(mark.sample);
            // Word marks read kvtk_CHAR_BYTE_CHARS_BYTES.
            long long chars = 0, byte = 0, count = 0, bytesLong = 0;
            if (std::sscanf(mark.name.c_str(), "kvtk_%lld_%lld_%lld_%lld", &chars, &byte, &count,
                            &bytesLong) == 4) {
                c->marks.push_back({sample, byte, bytesLong});
                ShowProgress(c);
            }
            break;
        }
        case PACKET_PHONEME: {
            const auto* event = static_cast<const PhonemeEvent*>(data);
            const int64_t sample = c->Absolute(event->first);
            c->phonemes.push_back({sample, event->value1, event->phone ? event->phone : ""});
            break;
        }
        case PACKET_DATA_10:
            c->messages.push_back(vrelay::server::DecodeText(bytes, size));
            break;
        case PACKET_REQUEST_DONE:
            c->requestDone = true;
            c->done.notify_all();
            break;
        default:
            break;
    }
    return VR_SUCCESS;
}

bool ParseArgs(int argc, char** argv, Options* options, std::string* error) {
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
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(kExitOk);
        } else if (arg == "-o" || arg == "--output") {
            if (!value(&options->output))
                return false;
        } else if (arg == "-f" || arg == "--file") {
            if (!value(&options->file))
                return false;
        } else if (arg == "--server") {
            if (!value(&options->server))
                return false;
        } else if (arg == "--engine") {
            if (!value(&options->engine))
                return false;
        } else if (arg == "--voice") {
            if (!value(&options->voice))
                return false;
        } else if (arg == "--encoding") {
            if (!value(&options->encoding))
                return false;
            if (options->encoding != "pcm" && options->encoding != "ulaw" &&
                options->encoding != "alaw") {
                *error = "unknown encoding \"" + options->encoding + "\" (pcm, ulaw or alaw)";
                return false;
            }
        } else if (arg == "--list-voices") {
            options->listVoices = true;
        } else if (arg == "--marks") {
            options->marks = true;
        } else if (arg == "--phonemes") {
            options->phonemes = true;
        } else if (arg == "--async") {
            options->async = true;
        } else if (arg == "--stream") {
            options->stream = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options->quiet = true;
        } else if (arg == "-v" || arg == "--verbose") {
            options->verbose = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                options->words.push_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        } else {
            options->words.push_back(arg);
        }
    }
    if (options->stream && options->async) {
        *error = "--stream and --async cannot be combined";
        return false;
    }
    return true;
}

bool ReadAll(std::istream& in, std::string* text) {
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return !in.bad();
}

bool SplitHostPort(const std::string& server, std::string* host, int* port) {
    const size_t colon = server.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == server.size()) {
        return false;
    }
    *host = server.substr(0, colon);
    if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    char* end = nullptr;
    const long value = std::strtol(server.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || value <= 0 || value > 65535) {
        return false;
    }
    *port = static_cast<int>(value);
    return true;
}

int ListVoices(vr_handle connection) {
    const vr_handle voices = vrEnumerateConnectionVoices(connection);
    if (voices < 0) {
        std::fprintf(stderr, "vrelay-say: cannot read the voice list\n");
        return kExitNoServer;
    }
    std::printf("%-28s %-8s %-8s %-24s %s\n", "NAME", "LANG", "SEX", "LANGUAGE", "RATE");
    while (const char* name = vrNextVoice(voices)) {
        const char* iso = vrGetVoiceStringValue(voices, VR_LANGUAGE_CODE_ISO);
        const char* sex = vrGetVoiceStringValue(voices, VR_SEX);
        const char* language = vrGetVoiceStringValue(voices, VR_LANGUAGE);
        std::printf("%-28s %-8s %-8s %-24s %d\n", name, iso ? iso : "", sex ? sex : "",
                    language ? language : "", vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE));
    }
    const int count = vrNumVoices(voices);
    vrCloseEnumerator(voices);
    std::printf("%d voices\n", count);
    return kExitOk;
}

std::string WordAt(const std::string& text, const Mark& mark) {
    if (mark.byteOffset < 0 || mark.byteLength < 0 ||
        static_cast<size_t>(mark.byteOffset) > text.size()) {
        return std::string();
    }
    return text.substr(static_cast<size_t>(mark.byteOffset), static_cast<size_t>(mark.byteLength));
}

size_t CountWords(const std::string& text) {
    size_t words = 0;
    bool inWord = false;
    for (unsigned char c : text) {
        const bool blank = c == ' ' || c == '\n' || c == '\t' || c == '\r';
        if (!blank && !inWord)
            ++words;
        inWord = !blank;
    }
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseArgs(argc, argv, &options, &error)) {
        std::fprintf(stderr, "vrelay-say: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }

    // The text, unless it is streamed from standard input or not needed.
    std::string text;
    if (!options.listVoices && !options.stream) {
        if (!options.file.empty() && options.file != "-") {
            std::ifstream in(options.file, std::ios::binary);
            if (!in || !ReadAll(in, &text)) {
                std::fprintf(stderr, "vrelay-say: cannot read %s: %s\n", options.file.c_str(),
                             std::strerror(errno));
                return kExitUsage;
            }
        } else if (!options.words.empty() && options.file.empty()) {
            for (size_t i = 0; i < options.words.size(); ++i) {
                if (i)
                    text += ' ';
                text += options.words[i];
            }
        } else {
            ReadAll(std::cin, &text);
        }
        if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
            std::fprintf(stderr, "vrelay-say: no text to speak\n%s", kUsage);
            return kExitUsage;
        }
    }

    // Open the output first: an unwritable file should not cost a synthesis.
    std::unique_ptr<vrelay::tools::WavWriter> wav;
    if (!options.listVoices) {
        const auto encoding = options.encoding == "ulaw"   ? vrelay::tools::WavEncoding::kUlaw
                              : options.encoding == "alaw" ? vrelay::tools::WavEncoding::kAlaw
                                                           : vrelay::tools::WavEncoding::kPcm16;
        wav = std::make_unique<vrelay::tools::WavWriter>(encoding);
        if (!wav->Open(options.output, &error)) {
            std::fprintf(stderr, "vrelay-say: cannot write %s: %s\n", options.output.c_str(),
                         error.c_str());
            return kExitCannotWrite;
        }
    }

    std::string host = "127.0.0.1";
    int port = 0;
#ifndef VRELAY_SAY_NO_EMBEDDED_SERVER
    std::unique_ptr<vrelay::server::SpeechServer> embedded;
#endif
    if (!options.server.empty()) {
        if (!SplitHostPort(options.server, &host, &port)) {
            std::fprintf(stderr, "vrelay-say: --server wants HOST:PORT, not \"%s\"\n",
                         options.server.c_str());
            return kExitUsage;
        }
    } else {
#ifdef VRELAY_SAY_NO_EMBEDDED_SERVER
        std::fprintf(stderr,
                     "vrelay-say: this build has no embedded server; give --server HOST:PORT\n");
        return kExitUsage;
#else
        // The embedded server logs only its warnings and errors here.
        if (!options.verbose) {
            vrelay::FILELog::SetReportingLevel(vrelay::logWARNING);
        }
        vrelay::server::ServerOptions serverOptions;
        serverOptions.engine = options.engine;
        embedded = std::make_unique<vrelay::server::SpeechServer>(serverOptions);
        if (!embedded->Start(&error)) {
            std::fprintf(stderr, "vrelay-say: cannot start the speech server: %s\n", error.c_str());
            return kExitNoServer;
        }
        port = embedded->Port();
#endif
    }

    Collector collector;
    collector.progress = !options.quiet && isatty(STDERR_FILENO) && text.size() > 2000;
    collector.expectedWords = collector.progress ? CountWords(text) : 0;
    const vr_handle connection = vrCreateConnection();
    vrSetCallBack(connection, OnPacket);
    vrSetUserData(connection, &collector);
    if (vrOpenConnection(connection, host.c_str(), port) != VR_SUCCESS) {
        std::fprintf(stderr, "vrelay-say: no speech server at %s:%d\n", host.c_str(), port);
        vrDestroyConnection(connection);
        return kExitNoServer;
    }

    int status = kExitOk;
    if (options.listVoices) {
        status = ListVoices(connection);
        vrDestroyConnection(connection);
        return status;
    }
    if (!options.voice.empty()) {
        // vrSetVoice prints its own warning on standard output; say it plainly.
        if (vrSetVoice(connection, options.voice.c_str()) != VR_SUCCESS) {
            std::fprintf(stderr, "vrelay-say: unknown voice \"%s\" (see --list-voices)\n",
                         options.voice.c_str());
            vrDestroyConnection(connection);
            return kExitUnknownVoice;
        }
    }

    vr_result result = VR_SUCCESS;
    if (options.stream) {
        std::string line;
        while (result == VR_SUCCESS && std::getline(std::cin, line)) {
            line += '\n';
            text += line;
            result = vrPushSpeechStream(connection, line.c_str());
        }
        if (result == VR_SUCCESS) {
            result = vrFlushSpeechStream(connection);
        }
    } else if (options.async) {
        result = vrRenderSpeechXMLAsync(connection, text.c_str());
        if (result == VR_SUCCESS) {
            std::unique_lock<std::mutex> lock(collector.mutex);
            collector.done.wait(lock, [&] { return collector.requestDone; });
        }
    } else {
        result = vrRenderSpeech(connection, text.c_str());
    }
    vrDestroyConnection(connection);
    if (collector.progress) {
        std::fputc('\n', stderr);
    }
    for (const auto& message : collector.messages) {
        std::fprintf(stderr, "vrelay-say: server: %s\n", message.c_str());
    }
    if (result != VR_SUCCESS) {
        std::fprintf(stderr, "vrelay-say: the render failed (result %d)\n", result);
        status = kExitRenderFailed;
    }

    const uint32_t rate = collector.sampleRate ? collector.sampleRate : 22050;
    if (!wav->Write(collector.samples, rate, &error)) {
        std::fprintf(stderr, "vrelay-say: cannot write %s: %s\n", options.output.c_str(),
                     error.c_str());
        return kExitCannotWrite;
    }

    if (options.marks) {
        for (const Mark& mark : collector.marks) {
            std::printf("%9.3f  %s\n", static_cast<double>(mark.sample) / rate,
                        WordAt(text, mark).c_str());
        }
    }
    if (options.phonemes) {
        for (const Phoneme& phoneme : collector.phonemes) {
            std::printf("%9.3f %7.3f  %s\n", static_cast<double>(phoneme.sample) / rate,
                        static_cast<double>(phoneme.duration) / rate, phoneme.name.c_str());
        }
    }
    std::fflush(stdout);
    if (!options.quiet) {
        std::fprintf(stderr, "wrote %s: %.2f s of %s audio at %u Hz, %zu words\n",
                     options.output.c_str(), static_cast<double>(collector.samples.size()) / rate,
                     options.encoding.c_str(), rate, collector.marks.size());
    }
    return status;
}

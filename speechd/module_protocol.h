// SPDX-License-Identifier: GPL-3.0-or-later
// The line protocol between Speech Dispatcher and an output module, without
// any I/O: ModuleReader is fed the bytes read from standard input and hands
// out whole requests; the Format* functions build what the module writes.
//
// Requests are lines ending in LF (a CR before it is dropped); the command
// word is matched without regard to case. SPEAK, CHAR, KEY, SOUND_ICON, SET,
// AUDIO and LOGLEVEL carry a block of lines ending with a line holding a
// single dot; a block line that starts with a dot had one more dot put in
// front of it. Every other command is one line.
#ifndef VRELAY_SPEECHD_MODULE_PROTOCOL_H
#define VRELAY_SPEECHD_MODULE_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vrelay {
namespace speechd {

enum class Command {
    kInit,
    kSpeak,
    kChar,
    kKey,
    kSoundIcon,
    kStop,
    kPause,
    kSet,
    kAudio,
    kLogLevel,
    kDebug,
    kListVoices,
    kQuit,
    kUnknown,
};

struct Request {
    // kHeader: the command line of a block command, to be answered before its
    // block arrives. kBlock: the block, complete. kLine: a one-line command.
    enum Part { kHeader, kBlock, kLine };
    Part part = kLine;
    Command command = Command::kUnknown;
    std::string argument;  // the rest of the command line ("ON /tmp/log" for DEBUG)
    std::string block;     // the block's lines, dots removed, joined by LF (no final LF)
    bool overflow = false;  // the block or the line was longer than allowed; its excess is gone
};

class ModuleReader {
  public:
    // A longer block or command line is cut there and marked as overflow, so
    // a sender that never ends one cannot exhaust memory.
    explicit ModuleReader(size_t maxBlockBytes = 16 << 20, size_t maxLineBytes = 4096)
        : max_block_(maxBlockBytes), max_line_(maxLineBytes) {}
    ModuleReader(const ModuleReader&) = delete;
    ModuleReader& operator=(const ModuleReader&) = delete;

    void Feed(const char* data, size_t size);
    // The next complete request, in order; false when more bytes are needed.
    bool Next(Request* request);

  private:
    void OnLine(std::string line);

    size_t max_block_;
    size_t max_line_;
    std::string line_;       // the line being read
    bool line_overflow_ = false;
    bool in_block_ = false;   // between a block command and its dot line
    Request block_;          // the block being collected
    size_t block_lines_ = 0;  // lines in block_ so far
    std::vector<Request> ready_;
    size_t next_ready_ = 0;
};

// "CODE TEXT\n", and the multi-line form "CODE-LINE\n...CODE TEXT\n". Line
// feeds inside the texts become blanks.
std::string FormatReply(int code, const std::string& text);
std::string FormatReply(int code, const std::vector<std::string>& lines, const std::string& text);

// One index mark reached: "700-NAME\n700 INDEX MARK\n".
std::string FormatIndexMark(const std::string& name);

// One piece of 16-bit mono audio, its bytes as given (little-endian), for the
// server to play: the header lines, "705-AUDIO", a NUL, the escaped bytes,
// then "\n705 AUDIO\n". An odd last byte is left out.
std::string FormatAudio(const unsigned char* pcm, size_t bytes, uint32_t sampleRate);

// The escaping of the audio bytes: LF and 0x7D become 0x7D followed by the
// byte with its bit 5 flipped, so the data never holds a line feed.
void EscapeAudio(const unsigned char* data, size_t size, std::string* out);
// The reverse; false when the data ends inside an escape.
bool UnescapeAudio(const std::string& escaped, std::vector<unsigned char>* out);

}  // namespace speechd
}  // namespace vrelay

#endif

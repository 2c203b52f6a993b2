// SPDX-License-Identifier: GPL-3.0-or-later
// The module's standard output, shared by the thread that reads commands
// (replies, STOP) and the thread that speaks (audio, index marks, the end of
// a message). It owns the one fact both must agree on: which message may
// still write. Once a message is closed by STOP, PAUSE or END nothing more
// of it goes out, whichever thread tries.
#ifndef VRELAY_SPEECHD_MODULE_OUTPUT_H
#define VRELAY_SPEECHD_MODULE_OUTPUT_H

#include <cstdint>
#include <mutex>
#include <string>

namespace vrelay {
namespace speechd {

class ModuleOutput {
  public:
    // Writes to fd, which stays the caller's.
    explicit ModuleOutput(int fd) : fd_(fd) {}
    ModuleOutput(const ModuleOutput&) = delete;
    ModuleOutput& operator=(const ModuleOutput&) = delete;

    // Writes text whole, at any time. False when the write failed (the
    // reader is gone); every later write fails too.
    bool Write(const std::string& text);

    // Opens a new message (closing none: the caller makes sure the last one
    // ended) and returns its number.
    uint64_t Open();
    // Writes an event of message id - audio, an index mark, an icon - with
    // "701 BEGIN" before its first one. False when that message is not open.
    bool Event(uint64_t id, const std::string& text);
    // Closes message id with its last event ("702 END", "703 STOP", "704
    // PAUSE"), after "701 BEGIN" if none went out. False when it was not open.
    bool Close(uint64_t id, const std::string& lastEvent);
    // Closes the open message, whichever it is; false when none is open.
    bool CloseOpen(const std::string& lastEvent);
    bool IsOpen(uint64_t id);
    bool AnyOpen();

  private:
    bool WriteLocked(const std::string& text);
    bool CloseLocked(const std::string& lastEvent);

    const int fd_;
    std::mutex mutex_;
    bool failed_ = false;
    uint64_t current_ = 0;  // the last message opened
    bool open_ = false;
    bool begun_ = false;
};

}  // namespace speechd
}  // namespace vrelay

#endif

// SPDX-License-Identifier: GPL-3.0-or-later
// The text vrelay-say speaks, block by block: the arguments, a file or
// standard input, cleaned (see InputCleaner). Blocks end after a blank where
// there is one, so that no word or character is cut, and are about 64 KiB, so
// that a long text never sits in memory whole. With --stream a block ends at
// the end of a line or sentence and comes as soon as the input holds it.
#ifndef VRELAY_TOOLS_TEXT_SOURCE_H
#define VRELAY_TOOLS_TEXT_SOURCE_H

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/input_cleaner.h"
#include "tools/say_options.h"

namespace vrelay {
namespace tools {

class TextSource {
  public:
    explicit TextSource(bool markup) : cleaner_(markup) {}
    ~TextSource();
    TextSource(const TextSource&) = delete;
    TextSource& operator=(const TextSource&) = delete;

    // False with *error when the file is missing, unreadable, a directory or
    // empty.
    bool Open(const SayOptions& options, std::string* error);
    // The whole text is known and there is nothing in it to speak.
    bool KnownBlank() const;
    // Bytes of the whole text, or -1 when it comes from a stream.
    int64_t Size() const { return size_; }
    // The next block; false at the end of the text or when reading failed.
    bool Next(std::string* block);
    // Why reading stopped early, or "".
    const std::string& Error() const { return error_; }
    // See InputCleaner::TakeNotices.
    std::vector<std::string> TakeNotices() { return cleaner_.TakeNotices(); }

  private:
    // Reads: until a block is there (or the end), or once with --stream.
    void Fill();
    bool ReadOnce();

    frontend::InputCleaner cleaner_;
    int fd_ = -1;
    bool owns_fd_ = false;
    bool ended_ = true;  // no more input to read
    std::string name_;   // of the input, for messages
    std::string pending_;
    bool lines_ = false;
    int64_t size_ = -1;
    std::string error_;
};

}  // namespace tools
}  // namespace vrelay

#endif

// The text vrelay-say speaks, block by block: the arguments, a file or
// standard input; whole lines with --stream. Blocks end after a blank where
// there is one, so that no word or character is cut, and are about 64 KiB, so
// that a long text never sits in memory whole.
#ifndef VRELAY_TOOLS_TEXT_SOURCE_H
#define VRELAY_TOOLS_TEXT_SOURCE_H

#include <cstdint>
#include <fstream>
#include <istream>
#include <string>

#include "tools/say_options.h"

namespace vrelay {
namespace tools {

class TextSource {
  public:
    // False with *error when the file cannot be opened.
    bool Open(const SayOptions& options, std::string* error);
    // The whole text is known and there is nothing in it to speak.
    bool KnownBlank() const;
    // Bytes of the whole text, or -1 when it comes from a stream.
    int64_t Size() const { return size_; }
    // The next block; false at the end of the text.
    bool Next(std::string* block);

  private:
    void Fill();

    std::ifstream file_;
    std::istream* in_ = nullptr;
    std::string pending_;
    bool lines_ = false;
    int64_t size_ = -1;
};

}  // namespace tools
}  // namespace vrelay

#endif

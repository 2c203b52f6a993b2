// SPDX-License-Identifier: MIT
// The text path: the connection's tokenising channel with its two callbacks.
// Text run through it comes out as tokenised pieces, each with whether it
// ends the request, and as the voice elements found inside it; both go to the
// connection (a TextSink), which sends them and reads their answers while the
// channel waits.
#ifndef VRELAY_CONNECTION_TEXT_PATH_H
#define VRELAY_CONNECTION_TEXT_PATH_H

#include <cstddef>
#include <cstdint>
#include <string>

struct KVTP_tpc;

namespace vrelay {

// Where the text path hands what the channel releases. Called on the thread
// that runs the channel, from inside TextPath::Run.
class TextSink {
  public:
    // One tokenised piece (XML, words marked); final: the piece ends the
    // request (it carries the final mark).
    virtual void Piece(const char* text, size_t length, bool final) = 0;
    // A voice element: the text before it is to be ended there; an opening
    // tag with a name attribute (named) also asks for that voice.
    virtual void VoiceSwitch(bool named, const std::string& name) = 0;
    // Handling a piece or a tag ran out of memory: the request ends failed.
    virtual void Failed() noexcept = 0;

  protected:
    ~TextSink() = default;
};

class TextPath {
  public:
    // A tokenising channel (XML input, job "CLIENT", the built-in
    // configuration) whose pieces and voice elements go to sink.
    explicit TextPath(TextSink& sink);
    ~TextPath();
    TextPath(const TextPath&) = delete;
    TextPath& operator=(const TextPath&) = delete;

    // Tokenises text (null: empty); final ends the document. The sink sees
    // every piece and voice element this releases before Run returns; when
    // the channel could not be made, nothing is released.
    void Run(const char* text, bool final);

  private:
    static void OnText(void* self, const char* text, int length, int final) noexcept;
    static void OnTag(void* self, const char* tag, int length) noexcept;

    TextSink& sink_;
    KVTP_tpc* channel_ = nullptr;
};

// How a voice element reads: its element name as the tokeniser reads it, its
// attributes by the library's attribute reader. kClose for an end tag; for a
// start tag with attributes, kNamed with its name attribute in *name, or
// kOpen when it has none; kNone for anything else.
enum class VoiceTag { kNone, kOpen, kNamed, kClose };
VoiceTag ReadVoiceTag(const char* tag, int32_t length, std::string* name);

// The query that selects the voice called name on the server. The name goes
// between single quotes: the characters that could end the attribute or
// start markup travel as character references, so that a name like "it's"
// selects that voice and nothing else; other names go out byte for byte.
std::string VoiceSelectionQuery(const std::string& name);

}  // namespace vrelay

#endif

// SPDX-License-Identifier: GPL-3.0-or-later
// The user's text cut into the requests a door submits, and the words of
// each request's marks mapped back to the user's text.
//
// Requests end after a sentence where they can (else after a blank; a plain
// word longer than a request is cut between characters) and their submitted
// form stays within the request size: the library tokenises a request in
// pieces of 4096 bytes and could cut an entity where two pieces meet. Plain
// text is escaped ('<' goes as "&lt;"). Markup is cut only between
// constructs: the elements open at a cut are closed before it and opened
// again in the next request. Each request is wrapped in the prosody element
// of the setting (and, to spell, an element that says every word as its
// characters): outside everything, or, in a document whose root is <speak>,
// right inside the root.
//
// Text may come whole (vrelay-web, sd_vrelay, the Python package) or piece by
// piece (vrelay-say reads a file in blocks, or standard input line by line
// with --stream): a construct or a character cut at the end of a piece waits
// for the next one; EndOfLine makes what came so far go out now.
//
// Words come back as SourceRange: where the word is in the user's whole text
// in bytes, characters and UTF-16 code units (a JavaScript string's), and the
// word as written. A request keeps its own slice of the text, so that a word
// of it can be found again after later text came in (and a later change can
// resubmit the rest of a request from a word's offset after a server
// failure).
//
// Doors: the render worker cuts every job with it; a door that renders
// itself (none today) would call Add/Finish and Next. Not thread-safe: one
// thread (the worker's) uses a cutter and its requests.
#ifndef VRELAY_FRONTEND_REQUEST_CUTTER_H
#define VRELAY_FRONTEND_REQUEST_CUTTER_H

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/prosody.h"
#include "frontend/submitted_text.h"

namespace vrelay {
namespace frontend {

// A place in the user's text, counted three ways.
struct TextPosition {
    int64_t byte = 0;       // UTF-8 bytes
    int64_t character = 0;  // code points
    int64_t utf16 = 0;      // UTF-16 code units
};

// A word of the user's text.
struct SourceRange {
    TextPosition begin;
    TextPosition end;
    std::string written;  // as the user wrote it; in markup entities decoded, tags left out
};

// The byte of text where its UTF-16 code unit `units` starts (a JavaScript
// string index, as vrelay-web's page gives the word to speak from); -1 when
// it falls inside a character or past the end (text.size() is its end).
int64_t ByteOfUtf16(const std::string& text, int64_t units);

// Places in a text looked up by byte, for lookups that mostly go forward
// (the words of a job, in order): each costs the bytes between it and the
// one before. vrelay-web tells the page its words in UTF-16 units by it.
class TextPositions {
  public:
    explicit TextPositions(std::string text = std::string()) : text_(std::move(text)) {}
    // The place of byte (moved into 0 to the text's size); a byte inside a
    // character counts that character as begun.
    TextPosition At(int64_t byte);

  private:
    std::string text_;
    TextPosition cursor_;
};

class Request {
  public:
    // The text to submit (always markup to the server: plain text is escaped).
    const std::string& Submit() const { return submit_; }
    // Where the request's user text begins in the whole text.
    const TextPosition& Start() const { return start_; }
    // The word a mark names by its byte offset and length in Submit(); false
    // when the range lies outside the request's user text.
    bool Word(int64_t offset, int64_t length, SourceRange* word) const;

  private:
    friend class RequestCutter;
    TextPosition At(int64_t userByte) const;

    std::string submit_;
    TextPosition start_;
    std::string user_;  // the user's text of the request
    bool markup_ = false;
    SubmittedText map_{true};
    mutable TextPosition cursor_;  // At's last answer, relative to start_
};

class RequestCutter {
  public:
    struct Options {
        bool markup = false;
        ProsodySetting prosody;
        size_t requestBytes = 4000;  // submitted bytes, at least 16
        // Every word said as its characters (a <say-as> inside the prosody).
        bool spell = false;
    };

    explicit RequestCutter(const Options& options);

    // Appends the user's text (UTF-8, as the input cleaner gives it).
    void Add(const std::string& text);
    // What came so far goes out in the next requests, however short.
    void EndOfLine();
    // No more text comes: the rest goes out.
    void Finish();
    // Nothing before this byte of the user's text is submitted (speaking from
    // a word): the text up to it is only followed for the elements open
    // there. A byte inside a construct starts after it.
    void StartAt(int64_t byte);

    // The next request; false when none is ready (more text must come first)
    // or all was taken. Requests with nothing to speak are skipped.
    bool Next(Request* request);
    // Whether any request so far had something to speak.
    bool SawWords() const { return saw_words_; }

  private:
    struct OpenTag {
        std::string name;
        std::string tag;  // as written, "<prosody rate='slow'>"
    };
    // The end of what may be cut in pending_: before a construct or a
    // character that the end of the text cuts, unless the text is finished.
    size_t Available() const;
    // Where the next request's slice ends; npos when all of [0, limit) fits.
    size_t Cut(size_t limit, size_t budget) const;
    // The opening and closing markup of a request at the current open tags;
    // *prosody: the opening holds the prosody (and spelling) tags.
    std::string Opening(bool* prosody) const;
    std::string Closing(bool prosodyOpen) const;
    // Builds request from pending_[0, end) and consumes it.
    void Build(size_t end, Request* request);
    // Follows one tag into open_; what the user's text needs around it.
    void FollowTag(const std::string& tag, std::string* before, std::string* after);
    // Consumes pending_[0, end) without submitting it.
    void Consume(size_t end);
    // Whether the document's root is <speak>; false while that cannot be told.
    bool DecideRoot();
    // Follows the text before StartAt's byte; false while more must come.
    bool SkipToStart();
    bool RootIsSpeak() const { return speak_root_ && !open_.empty() && open_[0].name == "speak"; }

    const Options options_;
    // The prosody and spelling around each request's text, "" for none.
    const std::string wrap_open_;
    const std::string wrap_close_;
    std::string pending_;  // user text not yet submitted
    TextPosition base_;    // where pending_ begins
    std::vector<OpenTag> open_;
    size_t flush_ = 0;      // pending_ up to here goes out now
    int64_t skip_to_ = 0;    // StartAt's byte
    bool finished_ = false;
    bool root_decided_ = false;
    bool speak_root_ = false;  // the document's root element is <speak>
    bool saw_words_ = false;
};

}  // namespace frontend
}  // namespace vrelay

#endif

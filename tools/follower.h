// SPDX-License-Identifier: GPL-3.0-or-later
// Shows each word at the moment it is heard: a word's sample offset against
// the playback clock (samples heard so far, the sound server's latency taken
// off). On a terminal the current line of text is shown karaoke style: the
// words heard plain, the one being heard highlighted, the ones known to come
// dimmed; lines are filled as wide as the terminal. Elsewhere each word goes
// on a line of its own with its time, as it is heard.
//
// Add may be called from any thread; a thread of the follower's own polls the
// clock (every few milliseconds) and writes the display.
#ifndef VRELAY_TOOLS_FOLLOWER_H
#define VRELAY_TOOLS_FOLLOWER_H

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vrelay {
namespace tools {

// Columns the text takes on a terminal: one per character (wide characters
// are rare in what is spoken and in voice names, and only make a line end
// early).
int TextColumns(const std::string& text);

class Follower {
  public:
    // clock: the samples heard so far; columns: the terminal's width, 0 when
    // out is not a terminal.
    Follower(std::function<int64_t()> clock, FILE* out, int columns);
    // Finish().
    ~Follower();
    Follower(const Follower&) = delete;
    Follower& operator=(const Follower&) = delete;

    // A word starting at sample (seconds: the same, for the timed lines).
    void Add(int64_t sample, double seconds, const std::string& word);
    // Shows the words not shown yet (call once everything was heard, or to
    // stop), ends the display and joins the thread. Idempotent.
    void Finish();

  private:
    struct Word {
        int64_t sample;
        double seconds;
        std::string text;
        int row;
    };
    void Run();
    // Writes what changed: the words newly heard, and on a terminal the line.
    void Show(const std::vector<Word>& heard, const std::vector<Word>& coming, bool last);

    const std::function<int64_t()> clock_;
    FILE* const out_;
    const int columns_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Word> pending_;  // added, not yet heard
    bool finishing_ = false;
    int row_ = 0;       // the row the next word may join
    int row_width_ = 0;  // its width so far
    std::thread thread_;

    // The display, owned by the thread.
    std::vector<Word> line_;  // the words of the row on screen, heard first
    size_t line_shown_coming_ = 0;
};

}  // namespace tools
}  // namespace vrelay

#endif

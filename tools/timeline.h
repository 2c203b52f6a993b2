// SPDX-License-Identifier: GPL-3.0-or-later
// A picture of a rendering as SVG: the waveform, a line and label at each
// word's start, and the phonemes in a band under it, in rows of ten seconds
// (2000 pixels) read top to bottom like lines of text.
//
// The waveform is kept as one minimum/maximum pair per column (5 ms), so a
// long text costs a few bytes per column, not the audio. A picture that
// would grow past what renderers take (about 32000 pixels a side) shows
// more time per column instead.
#ifndef VRELAY_TOOLS_TIMELINE_H
#define VRELAY_TOOLS_TIMELINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vrelay {
namespace tools {

class Timeline {
  public:
    // Columns per second of audio.
    static constexpr int kColumnsPerSecond = 200;

    // The rate of the audio; set it before the first AddAudio.
    void SetSampleRate(uint32_t rate);
    void AddAudio(const int16_t* samples, size_t count);
    // seconds: from the start of the whole audio.
    void AddWord(double seconds, const std::string& word);
    void AddPhoneme(double seconds, const std::string& name);

    // The SVG document.
    std::string Svg() const;
    // The height of a row.
    static constexpr int kHeight = 220;
    static constexpr int kRowColumns = 2000;
    static constexpr int kMaxRows = 140;

  private:
    struct Label {
        double seconds;
        std::string text;
    };
    int64_t samples_per_column_ = 22050 / kColumnsPerSecond;
    std::vector<std::pair<int16_t, int16_t>> columns_;  // min, max
    int64_t in_column_ = 0;                              // samples already in the last column
    std::vector<Label> words_;
    std::vector<Label> phonemes_;
};

}  // namespace tools
}  // namespace vrelay

#endif

#include "tools/timeline.h"

#include <algorithm>
#include <cstdio>

#include "server/markup.h"

namespace vrelay {
namespace tools {

namespace {

constexpr int kMargin = 10;
constexpr int kWordRow = 22;  // baseline of the word labels
constexpr int kWaveTop = 32;
constexpr int kWaveHeight = 120;
constexpr int kPhonemeRow = 172;  // baseline of the first phoneme row

std::string Number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

}  // namespace

void Timeline::SetSampleRate(uint32_t rate) {
    if (rate == 0 || !columns_.empty()) {
        return;
    }
    samplesPerColumn_ = std::max<int64_t>(1, rate / kColumnsPerSecond);
}

void Timeline::AddAudio(const int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (columns_.empty() || inColumn_ == samplesPerColumn_) {
            columns_.emplace_back(samples[i], samples[i]);
            inColumn_ = 0;
        }
        auto& column = columns_.back();
        column.first = std::min(column.first, samples[i]);
        column.second = std::max(column.second, samples[i]);
        ++inColumn_;
    }
}

void Timeline::AddWord(double seconds, const std::string& word) {
    words_.push_back({seconds, word});
}

void Timeline::AddPhoneme(double seconds, const std::string& name) {
    phonemes_.push_back({seconds, name});
}

int Timeline::Width() const {
    return 2 * kMargin + std::max<int>(1, static_cast<int>(columns_.size()));
}

std::string Timeline::Svg() const {
    const int width = Width();
    const double middle = kWaveTop + kWaveHeight / 2.0;
    const double scale = (kWaveHeight / 2.0) / 32768.0;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                      "\" height=\"" + std::to_string(kHeight) + "\" viewBox=\"0 0 " +
                      std::to_string(width) + " " + std::to_string(kHeight) +
                      "\" font-family=\"sans-serif\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    // Seconds along the bottom.
    for (int second = 0; second * kColumnsPerSecond < width - 2 * kMargin; ++second) {
        const int x = kMargin + second * kColumnsPerSecond;
        svg += "<line x1=\"" + std::to_string(x) + "\" y1=\"" + std::to_string(kWaveTop) +
               "\" x2=\"" + std::to_string(x) + "\" y2=\"" + std::to_string(kHeight - 16) +
               "\" stroke=\"#ddd\"/><text x=\"" + std::to_string(x + 2) + "\" y=\"" +
               std::to_string(kHeight - 4) + "\" font-size=\"10\" fill=\"#888\">" +
               std::to_string(second) + " s</text>\n";
    }
    // The waveform: one vertical stroke per column, as a single path.
    svg += "<path stroke=\"#3465a4\" stroke-width=\"1\" d=\"";
    for (size_t i = 0; i < columns_.size(); ++i) {
        const double x = kMargin + static_cast<double>(i) + 0.5;
        const double top = middle - columns_[i].second * scale;
        const double bottom = std::max(middle - columns_[i].first * scale, top + 0.5);
        svg += "M" + Number(x) + " " + Number(top) + "V" + Number(bottom);
    }
    svg += "\"/>\n";
    for (const Label& word : words_) {
        const std::string x = Number(kMargin + word.seconds * kColumnsPerSecond);
        svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(kWordRow + 4) + "\" x2=\"" + x +
               "\" y2=\"" + std::to_string(kWaveTop + kWaveHeight) +
               "\" stroke=\"#cc0000\"/><text x=\"" + x + "\" y=\"" + std::to_string(kWordRow) +
               "\" font-size=\"13\" fill=\"#cc0000\">" + server::EscapeXml(word.text) + "</text>\n";
    }
    // Phonemes alternate between two rows so that short ones stay readable.
    for (size_t i = 0; i < phonemes_.size(); ++i) {
        const std::string x = Number(kMargin + phonemes_[i].seconds * kColumnsPerSecond);
        const int y = kPhonemeRow + (i % 2 == 0 ? 0 : 14);
        svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(kWaveTop + kWaveHeight) +
               "\" x2=\"" + x + "\" y2=\"" + std::to_string(y - 9) +
               "\" stroke=\"#999\"/><text x=\"" + x + "\" y=\"" + std::to_string(y) +
               "\" font-size=\"10\" fill=\"#444\">" + server::EscapeXml(phonemes_[i].text) +
               "</text>\n";
    }
    return svg + "</svg>\n";
}

}  // namespace tools
}  // namespace vrelay

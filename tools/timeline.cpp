// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "wire/xml_escape.h"

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
    samples_per_column_ = std::max<int64_t>(1, rate / kColumnsPerSecond);
}

void Timeline::AddAudio(const int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (columns_.empty() || in_column_ == samples_per_column_) {
            columns_.emplace_back(samples[i], samples[i]);
            in_column_ = 0;
        }
        auto& column = columns_.back();
        column.first = std::min(column.first, samples[i]);
        column.second = std::max(column.second, samples[i]);
        ++in_column_;
    }
}

void Timeline::AddWord(double seconds, const std::string& word) {
    words_.push_back({seconds, word});
}

void Timeline::AddPhoneme(double seconds, const std::string& name) {
    phonemes_.push_back({seconds, name});
}

std::string Timeline::Svg() const {
    // Columns merged k to one, so that the rows stay within kMaxRows.
    const size_t k = std::max<size_t>(
        1, (columns_.size() + kRowColumns * kMaxRows - 1) / (kRowColumns * kMaxRows));
    std::vector<std::pair<int16_t, int16_t>> columns;
    for (size_t i = 0; i < columns_.size(); i += k) {
        auto merged = columns_[i];
        for (size_t j = i + 1; j < std::min(columns_.size(), i + k); ++j) {
            merged.first = std::min(merged.first, columns_[j].first);
            merged.second = std::max(merged.second, columns_[j].second);
        }
        columns.push_back(merged);
    }
    const double perSecond = static_cast<double>(kColumnsPerSecond) / static_cast<double>(k);
    const int rows =
        std::max<int>(1, static_cast<int>((columns.size() + kRowColumns - 1) / kRowColumns));
    const int width =
        2 * kMargin + std::max(1, std::min<int>(kRowColumns, static_cast<int>(columns.size())));
    const int height = rows * kHeight;
    // Where a time goes: its row and the x within it.
    const auto place = [&](double seconds, int* top) {
        const double x = seconds * perSecond;
        const int row = std::min(rows - 1, std::max(0, static_cast<int>(x / kRowColumns)));
        *top = row * kHeight;
        return kMargin + x - row * kRowColumns;
    };
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                      "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
                      std::to_string(width) + " " + std::to_string(height) +
                      "\" font-family=\"sans-serif\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    // Seconds along the bottom of each row, a label at least every 100 pixels.
    const int step = std::max(1, static_cast<int>(std::ceil(100 / perSecond)));
    const double seconds = static_cast<double>(columns.size()) / perSecond;
    for (int second = 0; second == 0 || second < seconds; second += step) {
        int top = 0;
        const std::string x = Number(place(second, &top));
        svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(top + kWaveTop) + "\" x2=\"" + x +
               "\" y2=\"" + std::to_string(top + kHeight - 16) + "\" stroke=\"#ddd\"/><text x=\"" +
               x + "\" y=\"" + std::to_string(top + kHeight - 4) +
               "\" font-size=\"10\" fill=\"#888\">" + std::to_string(second) + " s</text>\n";
    }
    // The waveform: per row, one filled outline, the maxima left to right
    // and the minima back (renderers fill an outline far faster than they
    // stroke thousands of lines).
    const double scale = (kWaveHeight / 2.0) / 32768.0;
    for (size_t first = 0; first < columns.size(); first += kRowColumns) {
        const size_t end = std::min(columns.size(), first + kRowColumns);
        const double middle =
            static_cast<double>(first / kRowColumns) * kHeight + kWaveTop + kWaveHeight / 2.0;
        std::string points;
        for (size_t i = first; i < end; ++i) {
            points += Number(kMargin + static_cast<double>(i - first) + 0.5) + "," +
                      Number(middle - columns[i].second * scale - 0.25) + " ";
        }
        for (size_t i = end; i-- > first;) {
            points += Number(kMargin + static_cast<double>(i - first) + 0.5) + "," +
                      Number(middle - columns[i].first * scale + 0.25) + " ";
        }
        points.pop_back();
        svg += "<polygon fill=\"#3465a4\" points=\"" + points + "\"/>\n";
    }
    for (const Label& word : words_) {
        int top = 0;
        const std::string x = Number(place(word.seconds, &top));
        svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(top + kWordRow + 4) + "\" x2=\"" +
               x + "\" y2=\"" + std::to_string(top + kWaveTop + kWaveHeight) +
               "\" stroke=\"#cc0000\"/><text x=\"" + x + "\" y=\"" +
               std::to_string(top + kWordRow) + "\" font-size=\"13\" fill=\"#cc0000\">" +
               wire::EscapeXml(word.text, wire::XmlContext::kAnywhere) + "</text>\n";
    }
    // Phonemes alternate between two rows so that short ones stay readable.
    for (size_t i = 0; i < phonemes_.size(); ++i) {
        int top = 0;
        const std::string x = Number(place(phonemes_[i].seconds, &top));
        const int y = top + kPhonemeRow + (i % 2 == 0 ? 0 : 14);
        svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(top + kWaveTop + kWaveHeight) +
               "\" x2=\"" + x + "\" y2=\"" + std::to_string(y - 9) +
               "\" stroke=\"#999\"/><text x=\"" + x + "\" y=\"" + std::to_string(y) +
               "\" font-size=\"10\" fill=\"#444\">" +
               wire::EscapeXml(phonemes_[i].text, wire::XmlContext::kAnywhere) + "</text>\n";
    }
    return svg + "</svg>\n";
}

}  // namespace tools
}  // namespace vrelay

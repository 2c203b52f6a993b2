// SPDX-License-Identifier: GPL-3.0-or-later
// Writes mono audio as a RIFF/WAVE stream while it arrives: 16-bit PCM, or
// 8-bit G.711 mu-law or A-law converted with the library's companding
// functions. Memory stays the same whatever the length.
//
// A seekable file gets its lengths filled in at the end (or by
// FinishAfterSignal); a pipe gets a header that states an unknown length
// (0xFFFFFFFF), as players of streamed WAV expect.
//
// A regular file is written under a temporary name beside it and takes its
// own name only when finished: until then a file of that name stays as it
// was, and a write that is discarded leaves nothing behind.
#ifndef VRELAY_TOOLS_WAV_WRITER_H
#define VRELAY_TOOLS_WAV_WRITER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vrelay {
namespace tools {

enum class WavEncoding { kPcm16, kUlaw, kAlaw };

class WavWriter {
  public:
    explicit WavWriter(WavEncoding encoding) : encoding_(encoding) {}
    ~WavWriter();  // Discard() when not finished
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates the file (under its temporary name); "-" is standard output.
    // False with *error when it cannot.
    bool Open(const std::string& path, std::string* error);
    // The sample rate the header states; set it before the first Write.
    void SetSampleRate(uint32_t rate) { rate_ = rate; }
    uint32_t SampleRate() const { return rate_; }
    // Encodes and writes samples (the header first, on the first call).
    bool Write(const int16_t* samples, size_t count, std::string* error);
    // Takes back what was written from sample on (a seekable file only);
    // false, writing nothing, otherwise.
    bool Rewind(uint64_t sample);
    // Writes the header if nothing was written, completes the lengths of a
    // seekable file, closes it and gives it its name.
    bool Finish(std::string* error);
    // Closes and removes the file not finished: a file of its name is left as
    // it was.
    void Discard();
    // For a signal handler: makes what was written so far a complete file
    // under its name, using only async-signal-safe calls. Writes from other
    // threads fail from then on (one under way is waited for, briefly). The
    // writer must not be used after.
    void FinishAfterSignal();

    uint64_t Samples() const { return data_bytes_.load() / BytesPerSample(); }

    // Largest header, in bytes.
    static constexpr size_t kMaxHeader = 58;
    // The header for a stream of sampleCount samples, or of unknown length
    // (lengths 0xFFFFFFFF) when known is false; returns its size.
    static size_t Header(WavEncoding encoding, uint32_t sampleRate, uint64_t sampleCount,
                         bool known, uint8_t* out);

  private:
    size_t BytesPerSample() const { return encoding_ == WavEncoding::kPcm16 ? 2 : 1; }
    bool WriteAll(const uint8_t* data, size_t size, std::string* error);
    // The header for what was written so far, and the file cut after its
    // data (with the pad byte RIFF wants after odd-sized data).
    bool CompleteLengths();

    WavEncoding encoding_;
    std::string path_;       // the name the file takes when finished
    std::string temporary_;  // its name until then; "" when written in place
    int fd_ = -1;
    bool owns_fd_ = false;
    bool seekable_ = false;
    std::atomic<bool> header_written_{false};
    std::atomic<uint32_t> rate_{22050};
    std::atomic<uint64_t> data_bytes_{0};  // sample bytes written, header excluded
    std::atomic<bool> sealed_{false};     // FinishAfterSignal began
    std::atomic<int> writing_{0};         // Writes under way
    std::vector<uint8_t> buffer_;
};

}  // namespace tools
}  // namespace vrelay

#endif

// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/wav_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vrelay/vrelay.h>

#include <cerrno>
#include <cstring>

namespace vrelay {
namespace tools {

namespace {

constexpr uint32_t kUnknown = 0xFFFFFFFF;

// Fixed-size little-endian writes into a caller's buffer: no allocation, so
// the header can be built inside a signal handler.
struct HeaderBytes {
    uint8_t* out;
    size_t size = 0;
    void Put16(uint32_t v) {
        out[size++] = static_cast<uint8_t>(v);
        out[size++] = static_cast<uint8_t>(v >> 8);
    }
    void Put32(uint32_t v) {
        Put16(v & 0xFFFF);
        Put16(v >> 16);
    }
    void Tag(const char* tag) {
        for (int i = 0; i < 4; ++i) {
            out[size++] = static_cast<uint8_t>(tag[i]);
        }
    }
};

}  // namespace

size_t WavWriter::Header(WavEncoding encoding, uint32_t sampleRate, uint64_t sampleCount,
                         bool known, uint8_t* out) {
    const bool pcm = encoding == WavEncoding::kPcm16;
    const uint32_t bytesPerSample = pcm ? 2 : 1;
    // Lengths past 4 GiB cannot be stated: such a file says "unknown".
    const uint64_t data = sampleCount * bytesPerSample;
    known = known && data + 64 < kUnknown;
    const uint32_t dataSize = known ? static_cast<uint32_t>(data) : kUnknown;
    const uint32_t pad = known ? dataSize & 1 : 0;
    // PCM: a 16-byte fmt chunk. G.711: an 18-byte fmt chunk and a fact chunk,
    // as non-PCM formats require.
    const uint32_t fmtSize = pcm ? 16 : 18;
    const uint32_t factSize = pcm ? 0 : 12;
    HeaderBytes h{out};
    h.Tag("RIFF");
    h.Put32(known ? 4 + (8 + fmtSize) + factSize + (8 + dataSize + pad) : kUnknown);
    h.Tag("WAVE");
    h.Tag("fmt ");
    h.Put32(fmtSize);
    h.Put16(pcm ? 1 : encoding == WavEncoding::kAlaw ? 6 : 7);
    h.Put16(1);  // mono
    h.Put32(sampleRate);
    h.Put32(sampleRate * bytesPerSample);
    h.Put16(bytesPerSample);
    h.Put16(bytesPerSample * 8);
    if (!pcm) {
        h.Put16(0);  // no extension
        h.Tag("fact");
        h.Put32(4);
        h.Put32(known ? static_cast<uint32_t>(sampleCount) : kUnknown);
    }
    h.Tag("data");
    h.Put32(dataSize);
    return h.size;
}

WavWriter::~WavWriter() {
    Discard();
}

bool WavWriter::Open(const std::string& path, std::string* error) {
    if (path == "-") {
        fd_ = STDOUT_FILENO;
    } else {
        // A device or pipe (/dev/null, a FIFO) is written in place.
        struct stat existing {};
        const bool exists = ::stat(path.c_str(), &existing) == 0;
        if (exists && !S_ISREG(existing.st_mode)) {
            fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        } else {
            const size_t slash = path.rfind('/');
            const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
            const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
            std::string name = folder + "." + base + ".XXXXXX";
            fd_ = ::mkstemp(&name[0]);
            if (fd_ >= 0) {
                temporary_ = name;
                // The mode a new file would get, or the one the file has.
                mode_t mode = existing.st_mode & 07777;
                if (!exists) {
                    const mode_t mask = ::umask(022);
                    ::umask(mask);
                    mode = 0666 & ~mask;
                }
                ::fchmod(fd_, mode);
                ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
            }
        }
        if (fd_ < 0) {
            *error = std::strerror(errno);
            return false;
        }
        path_ = path;
        owns_fd_ = true;
    }
    // Standard output redirected to a file can be completed like any file.
    struct stat st;
    seekable_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && ::lseek(fd_, 0, SEEK_CUR) == 0;
    return true;
}

bool WavWriter::WriteAll(const uint8_t* data, size_t size, std::string* error) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = std::strerror(errno);
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool WavWriter::Write(const int16_t* samples, size_t count, std::string* error) {
    // The audio may come from another thread than the one a signal handler
    // completes the file on: once it has begun, nothing more is written.
    struct Writing {
        std::atomic<int>& count;
        explicit Writing(std::atomic<int>& c) : count(c) { ++count; }
        ~Writing() { --count; }
    } writing(writing_);
    if (sealed_.load()) {
        *error = "the program is ending";
        return false;
    }
    if (fd_ < 0) {
        *error = "not open";
        return false;
    }
    if (!header_written_.load()) {
        uint8_t header[kMaxHeader];
        const size_t size = Header(encoding_, rate_, 0, seekable_, header);
        if (!WriteAll(header, size, error)) {
            return false;
        }
        header_written_ = true;
    }
    if (encoding_ == WavEncoding::kPcm16 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        // The samples are laid out as the file wants them.
        if (!WriteAll(reinterpret_cast<const uint8_t*>(samples), count * 2, error)) {
            return false;
        }
        data_bytes_ += count * 2;
        return true;
    }
    buffer_.resize(count * BytesPerSample());
    uint8_t* out = buffer_.data();
    for (size_t i = 0; i < count; ++i) {
        switch (encoding_) {
            case WavEncoding::kPcm16:
                out[2 * i] = static_cast<uint8_t>(samples[i]);
                out[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(samples[i]) >> 8);
                break;
            case WavEncoding::kUlaw:
                out[i] = vrSampleToUlaw(samples[i]);
                break;
            case WavEncoding::kAlaw:
                out[i] = vrSampleToAlaw(samples[i]);
                break;
        }
    }
    if (!WriteAll(out, buffer_.size(), error)) {
        return false;
    }
    data_bytes_ += buffer_.size();
    return true;
}

bool WavWriter::Rewind(uint64_t sample) {
    const uint64_t bytes = sample * BytesPerSample();
    if (!seekable_ || fd_ < 0 || sealed_.load() || bytes > data_bytes_.load()) {
        return false;
    }
    if (bytes == data_bytes_.load()) {
        return true;
    }
    uint8_t header[kMaxHeader];
    const off_t end = static_cast<off_t>(Header(encoding_, rate_, 0, true, header) + bytes);
    if (::ftruncate(fd_, end) != 0 || ::lseek(fd_, end, SEEK_SET) != end) {
        return false;
    }
    data_bytes_ = bytes;
    return true;
}

bool WavWriter::CompleteLengths() {
    uint8_t header[kMaxHeader];
    const uint64_t data = data_bytes_.load();
    const size_t size = Header(encoding_, rate_, data / BytesPerSample(), true, header);
    const uint64_t end = size + data;
    bool ok = ::pwrite(fd_, header, size, 0) == static_cast<ssize_t>(size) &&
              ::ftruncate(fd_, static_cast<off_t>(end)) == 0;
    if (ok && (data & 1) != 0) {
        const uint8_t pad = 0;
        ok = ::pwrite(fd_, &pad, 1, static_cast<off_t>(end)) == 1;
    }
    return ok;
}

bool WavWriter::Finish(std::string* error) {
    if (fd_ < 0) {
        *error = "not open";
        return false;
    }
    if (!header_written_.load() && !Write(nullptr, 0, error)) {
        return false;
    }
    if (seekable_ && !CompleteLengths()) {
        *error = std::strerror(errno);
        return false;
    }
    if (owns_fd_) {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 ||
            (!temporary_.empty() && ::rename(temporary_.c_str(), path_.c_str()) != 0)) {
            *error = std::strerror(errno);
            return false;
        }
        temporary_.clear();
    }
    return true;
}

void WavWriter::Discard() {
    if (owns_fd_ && fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
}

void WavWriter::FinishAfterSignal() {
    const int saved = errno;
    sealed_ = true;
    // A write under way on another thread ends in moments; one that does
    // not (this thread crashed inside it) is not waited for.
    for (long spin = 0; writing_.load() != 0 && spin < (1L << 26); ++spin) {
    }
    if (fd_ >= 0 && seekable_) {
        CompleteLengths();
        if (!temporary_.empty()) {
            ::rename(temporary_.c_str(), path_.c_str());
        }
    }
    errno = saved;
}

}  // namespace tools
}  // namespace vrelay

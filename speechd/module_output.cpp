// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/module_output.h"

#include <errno.h>
#include <unistd.h>

namespace vrelay {
namespace speechd {

namespace {
const std::string kBegin = "701 BEGIN\n";
}  // namespace

bool ModuleOutput::WriteLocked(const std::string& text) {
    size_t done = 0;
    while (!failed_ && done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failed_ = true;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return !failed_;
}

bool ModuleOutput::Write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return WriteLocked(text);
}

uint64_t ModuleOutput::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    begun_ = false;
    return ++current_;
}

bool ModuleOutput::Event(uint64_t id, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_ || id != current_) {
        return false;
    }
    const bool first = !begun_;
    begun_ = true;
    return WriteLocked(first ? kBegin + text : text);
}

bool ModuleOutput::CloseLocked(const std::string& lastEvent) {
    if (!open_) {
        return false;
    }
    open_ = false;
    WriteLocked((begun_ ? std::string() : kBegin) + lastEvent);
    return true;
}

bool ModuleOutput::Close(uint64_t id, const std::string& lastEvent) {
    std::lock_guard<std::mutex> lock(mutex_);
    return id == current_ && CloseLocked(lastEvent);
}

bool ModuleOutput::CloseOpen(const std::string& lastEvent) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CloseLocked(lastEvent);
}

bool ModuleOutput::IsOpen(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_ && id == current_;
}

bool ModuleOutput::AnyOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

}  // namespace speechd
}  // namespace vrelay

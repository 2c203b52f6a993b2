// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/health_check.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "transport/log.h"

namespace vrelay {
namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// Longest request head read; a check's is a few dozen bytes.
constexpr size_t kMaxRequestBytes = 4096;

// Takes the probe's audio; gives up waiting at a time, stopping the probe
// rather than failing it, so that a worker that is merely slow is not ended
// for it.
class ProbeSink : public UnitSink {
  public:
    explicit ProbeSink(Clock::time_point give_up) : give_up_(give_up) {}
    bool OnUnit(const SynthesisUnit& unit) override {
        samples += unit.samples.size();
        return true;
    }
    bool Abandoned() const override { return Clock::now() > give_up_; }
    bool Urgent() const override { return true; }
    Clock::time_point Deadline() const override { return give_up_ + std::chrono::seconds(30); }
    size_t samples = 0;

  private:
    const Clock::time_point give_up_;
};

// What a check's connection gets: nothing (it went, or was too slow to
// ask), the health answer, with or without its body, or an error.
enum class Asked { kNothing, kHealth, kHealthHead, kBadRequest, kNotFound };

Asked Parse(const std::string& head) {
    const std::string line = head.substr(0, head.find_first_of("\r\n"));
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.compare(second + 1, 5, "HTTP/") != 0) {
        return Asked::kBadRequest;
    }
    const std::string method = line.substr(0, first);
    const std::string path = line.substr(first + 1, second - first - 1);
    if (method != "GET" && method != "HEAD") {
        return Asked::kBadRequest;
    }
    if (path != "/health" && path != "/") {
        return Asked::kNotFound;
    }
    return method == "HEAD" ? Asked::kHealthHead : Asked::kHealth;
}

std::string Response(const char* status, const std::string& body, bool with_body) {
    return std::string("HTTP/1.0 ") + status +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" +
           (with_body ? body : std::string());
}

}  // namespace

// One check's connection, from its accept to its answer.
struct HealthCheck::Check {
    std::unique_ptr<Socket> socket;
    std::string head;
    Clock::time_point deadline;
};

HealthCheck::HealthCheck(Engine* engine, std::string voice, std::function<std::string()> load)
    : engine_(engine), voice_(std::move(voice)), load_(std::move(load)) {}

HealthCheck::~HealthCheck() {
    Stop();
}

bool HealthCheck::Start(const std::string& address, int port, std::string* error) {
    if (thread_.joinable()) {
        *error = "already started";
        return false;
    }
    listener_ = std::make_unique<SocketServer>(port, 16, PollingSelect, address);
    if (!listener_->IsOpen()) {
        *error = "cannot listen for health checks on " + address + " port " + std::to_string(port) +
                 ": " + listener_->Error();
        listener_.reset();
        return false;
    }
    if (!stop_.Valid()) {
        *error = "cannot listen for health checks: no descriptor left";
        listener_.reset();
        return false;
    }
    port_ = listener_->Port();
    stop_.Clear();
    thread_ = std::thread(&HealthCheck::Loop, this);
    return true;
}

void HealthCheck::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    stop_.Raise();
    thread_.join();
    listener_.reset();
    port_ = 0;
}

void HealthCheck::Probe(bool* healthy, std::string* body) {
    const Clock::time_point start = Clock::now();
    if (!last_body_.empty() && start - probed_ < std::chrono::milliseconds(kReuseMs)) {
        *healthy = last_healthy_;
        *body = last_body_;
        return;
    }
    ProbeSink sink(start + std::chrono::milliseconds(kProbeMs));
    std::vector<Word> words(1);
    words[0].text = "ok";
    std::string error;
    bool spoke = false;
    try {
        spoke = engine_->Speak(voice_, words, &sink, &error);
    } catch (const std::exception& e) {
        error = e.what();
    }
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    *healthy = spoke && sink.samples > 0;
    if (*healthy) {
        *body = "ok: spoke " + std::to_string(sink.samples) + " samples in " +
                std::to_string(took) + " ms";
    } else if (spoke) {
        *body = "cannot speak: no audio within " + std::to_string(kProbeMs) + " ms";
    } else {
        *body = "cannot speak: " + error;
    }
    *body += "; " + load_() + "\n";
    if (!*healthy) {
        VR_LOG(logWARNING) << "vrelay server: health check failed: " << *body;
    }
    probed_ = Clock::now();
    last_healthy_ = *healthy;
    last_body_ = *body;
}

void HealthCheck::Loop() {
    std::vector<Check> checks;
    for (;;) {
        std::vector<pollfd> fds = {{static_cast<int>(stop_.Handle()), POLLIN, 0},
                                   {static_cast<int>(listener_->Handle()), POLLIN, 0}};
        Clock::time_point next = Clock::time_point::max();
        for (const Check& check : checks) {
            fds.push_back({static_cast<int>(check.socket->Handle()), POLLIN, 0});
            next = std::min(next, check.deadline);
        }
        int timeout_ms = -1;
        if (next != Clock::time_point::max()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            timeout_ms = static_cast<int>(std::max<int64_t>(0, left) + 1);
        }
        if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) {
            VR_LOG(logERROR) << "vrelay server: health checks: poll failed: "
                             << std::strerror(errno);
            return;
        }
        if (stop_.IsRaised()) {
            return;
        }
        // Requests first (the new connections are not in fds yet).
        const Clock::time_point now = Clock::now();
        std::vector<Check> open;
        std::vector<std::pair<Check, Asked>> finished;
        bool probe_wanted = false;
        for (size_t i = 0; i < checks.size(); ++i) {
            Check& check = checks[i];
            Asked asked = Asked::kNothing;
            bool finish = false;
            if (fds[i + 2].revents != 0) {
                char buffer[1024];
                const ssize_t got = ::recv(static_cast<int>(check.socket->Handle()), buffer,
                                           sizeof buffer, MSG_DONTWAIT);
                if (got > 0) {
                    check.head.append(buffer, static_cast<size_t>(got));
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    finish = true;  // gone before its answer
                }
            }
            const bool whole = check.head.find("\r\n\r\n") != std::string::npos ||
                               check.head.find("\n\n") != std::string::npos;
            if (!finish && (whole || check.head.size() >= kMaxRequestBytes)) {
                asked = whole ? Parse(check.head) : Asked::kBadRequest;
                probe_wanted =
                    probe_wanted || asked == Asked::kHealth || asked == Asked::kHealthHead;
                finish = true;
            }
            if (finish || now >= check.deadline) {
                finished.emplace_back(std::move(check), asked);
            } else {
                open.push_back(std::move(check));
            }
        }
        checks.swap(open);
        bool healthy = false;
        std::string body;
        if (probe_wanted) {
            Probe(&healthy, &body);
        }
        for (const auto& f : finished) {
            std::string response;
            switch (f.second) {
                case Asked::kNothing:
                    continue;
                case Asked::kHealth:
                case Asked::kHealthHead:
                    response = Response(healthy ? "200 OK" : "503 Service Unavailable", body,
                                        f.second == Asked::kHealth);
                    break;
                case Asked::kBadRequest:
                    response = Response("400 Bad Request", "ask GET /health\n", true);
                    break;
                case Asked::kNotFound:
                    response = Response("404 Not Found", "ask GET /health\n", true);
                    break;
            }
            // A few hundred bytes: an empty socket buffer takes them.
            ::send(static_cast<int>(f.first.socket->Handle()), response.data(), response.size(),
                   MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        if ((fds[1].revents & POLLIN) != 0) {
            bool failed = false;
            std::unique_ptr<Socket> socket(listener_->Accept(&failed));
            if (failed) {
                // Out of descriptors the connection stays pending and poll
                // returns at once: pause briefly instead of spinning.
                pollfd stop = {static_cast<int>(stop_.Handle()), POLLIN, 0};
                ::poll(&stop, 1, 100);
            }
            if (socket) {
                if (checks.size() >= kMaxChecks) {
                    checks.erase(checks.begin());  // the oldest goes
                }
                checks.push_back(Check{std::move(socket), std::string(),
                                       Clock::now() + std::chrono::milliseconds(kRequestMs)});
            }
        }
    }
}

}  // namespace server
}  // namespace vrelay

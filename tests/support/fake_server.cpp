// SPDX-License-Identifier: MIT
#include "tests/support/fake_server.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "wire/frame.h"

namespace vrelay {
namespace test {

namespace {

#ifdef _WIN32
int PollSockets(pollfd* fds, int count) {
    return ::WSAPoll(fds, static_cast<ULONG>(count), -1);
}
using NativeSocket = SOCKET;
const int kShutBoth = SD_BOTH;
#else
int PollSockets(pollfd* fds, int count) {
    return ::poll(fds, static_cast<nfds_t>(count), -1);
}
using NativeSocket = int;
const int kShutBoth = SHUT_RDWR;
#endif
void ShutDown(SocketHandle handle) {
    ::shutdown(static_cast<NativeSocket>(handle), kShutBoth);
}
// A zero linger time makes the close that follows send a reset.
void ResetOnClose(SocketHandle handle) {
    const linger abort{1, 0};
    ::setsockopt(static_cast<NativeSocket>(handle), SOL_SOCKET, SO_LINGER,
                 reinterpret_cast<const char*>(&abort), sizeof abort);
}

using PollHandle = decltype(pollfd::fd);

void PutU32(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void PutString(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

}  // namespace

std::string ReceivedFrame::Text() const {
    if (payload.empty())
        return std::string();  // strnlen must not see the null data of an empty payload
    const char* begin = reinterpret_cast<const char*>(payload.data());
    return std::string(begin, strnlen(begin, payload.size()));
}

// ---- Action ----

Action Action::Text(uint16_t type, const std::string& text) {
    return Frame(type, TextPayload(text));
}

std::vector<Action> DefaultAnswer(const ReceivedFrame& frame) {
    switch (frame.type) {
        case PACKET_TEXT:
        case PACKET_TEXT_CHUNK:
        case PACKET_QUERY:
            return {Action::End()};
        case PACKET_CLOSE:
            return {Action::Close()};
        default:
            return {};
    }
}

std::vector<Action> AnswerAheadThenHold(size_t frames) {
    const Bytes end = EncodeFrame(PACKET_END, {});
    Bytes ends;
    for (size_t i = 0; i < frames; ++i)
        ends.insert(ends.end(), end.begin(), end.end());
    return {Action::Raw(ends), Action::Hold()};
}

Handler AnswerWhen(std::function<bool(const ReceivedFrame&)> which, std::vector<Action> answer,
                   Handler others) {
    return [which = std::move(which), answer = std::move(answer), others = std::move(others)](
               const ReceivedFrame& frame) { return which(frame) ? answer : others(frame); };
}

// ---- encoders ----

Bytes EncodeFrame(uint16_t type, const Bytes& payload, int32_t streamId,
                  std::optional<uint32_t> trailer) {
    std::string frame;
    wire::AppendFrame(type, payload.data(), payload.size(), &frame, streamId);
    Bytes out(frame.begin(), frame.end());
    if (trailer) {
        out.resize(out.size() - wire::kTrailerSize);
        PutU32(out, *trailer);
    }
    return out;
}

Bytes TextPayload(const std::string& text) {
    Bytes out;
    PutString(out, text);
    return out;
}

Bytes EncodePhonemePayload(int32_t first, const std::string& phone, const std::string& next,
                           const std::array<int32_t, 7>& values, int valueCount) {
    Bytes out;
    PutU32(out, static_cast<uint32_t>(first));
    PutU32(out, static_cast<uint32_t>(phone.size() + 1));
    PutU32(out, static_cast<uint32_t>(next.size() + 1));
    PutString(out, phone);
    PutString(out, next);
    for (int i = 0; i < valueCount && i < 7; ++i)
        PutU32(out, static_cast<uint32_t>(values[static_cast<size_t>(i)]));
    if (valueCount >= 7)
        out.insert(out.end(), 6, 0);
    return out;
}

Bytes PhonemeWithLengths(uint32_t n1, uint32_t n2, const Bytes& rest) {
    Bytes out;
    for (uint32_t value : {1u, n1, n2})
        PutU32(out, value);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// ---- FakeServer ----

FakeServer::FakeServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = std::make_unique<SocketServer>(0, 4, PollingSelect, "127.0.0.1");
    port_ = listener_->Port();
    thread_ = std::thread([this] { Run(); });
}

void FakeServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    // Stays raised: every later wait of the server thread ends at once.
    wake_.Raise();
    {
        // Unblocks a send to a client that stopped reading.
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_client_ != kInvalidSocket)
            ShutDown(current_client_);
    }
    if (thread_.joinable())
        thread_.join();
}

void FakeServer::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

bool FakeServer::WaitForFrames(size_t n, std::chrono::milliseconds timeout) {
    return WaitUntil(timeout, [&] { return frames_.size() >= n; });
}

bool FakeServer::WaitUntilHeld(std::chrono::milliseconds timeout) {
    return WaitUntil(timeout, [&] { return held_; });
}

void FakeServer::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
    }
    changed_.notify_all();
}

std::vector<ReceivedFrame> FakeServer::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::vector<std::pair<uint16_t, std::string>> FakeServer::Wire(size_t from) const {
    std::vector<std::pair<uint16_t, std::string>> wire;
    const auto frames = Frames();
    for (size_t i = from; i < frames.size(); ++i)
        wire.emplace_back(frames[i].type, frames[i].Text());
    return wire;
}

std::vector<std::string> FakeServer::Texts(uint16_t type, size_t from) const {
    std::vector<std::string> texts;
    for (const auto& [frameType, text] : Wire(from)) {
        if (frameType == type)
            texts.push_back(text);
    }
    return texts;
}

void FakeServer::Run() {
    for (;;) {
        pollfd fds[2] = {{static_cast<PollHandle>(listener_->Handle()), POLLIN, 0},
                         {static_cast<PollHandle>(wake_.Handle()), POLLIN, 0}};
        int rc = PollSockets(fds, 2);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (fds[1].revents & POLLIN) != 0)
            return;
        bool failed = false;
        std::unique_ptr<Socket> client(listener_->Accept(&failed));
        if (failed)
            return;
        if (!client)
            continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_client_ = client->Handle();
            if (stopping_)
                ShutDown(current_client_);
        }
        Serve(*client);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_client_ = kInvalidSocket;
            client->Close();
        }
    }
}

void FakeServer::Serve(Socket& client) {
    client.SetWakeSignal(&wake_);
    wire::FrameReader reader;
    for (;;) {
        wire::Frame next;
        switch (reader.Next(&next)) {
            case wire::FrameReader::Status::kFrame:
                break;
            case wire::FrameReader::Status::kNeedMore: {
                size_t room = 0;
                char* space = reader.Space(&room);
                size_t received = 0;
                if (!space || !client.ReceiveBytes(space, room, &received)) {
                    return;  // client gone
                }
                reader.Filled(received);
                if (received == 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (stopping_)
                        return;
                }
                continue;
            }
            default:
                return;  // an oversize length or a wrong trailer
        }
        ReceivedFrame frame;
        frame.type = next.type;
        frame.payload.assign(next.data, next.data + next.length);
        // A frame the reader takes is exactly its fields.
        frame.raw = EncodeFrame(next.type, frame.payload, next.streamId);
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
            handler = handler_;
        }
        changed_.notify_all();
        if (!Perform(client, handler ? handler(frame) : std::vector<Action>{}))
            return;
    }
}

bool FakeServer::Perform(Socket& client, const std::vector<Action>& actions) {
    auto send = [&client](const Bytes& bytes, size_t at, size_t n) {
        return client.SendBytes(reinterpret_cast<const char*>(bytes.data() + at), n) ==
               static_cast<int64_t>(n);
    };
    for (const Action& action : actions) {
        switch (action.kind) {
            case Action::Kind::kSendFrame:
                if (!send(EncodeFrame(action.type, action.bytes, 0, action.trailer), 0,
                          action.bytes.size() + 14)) {
                    return false;
                }
                break;
            case Action::Kind::kSendRaw: {
                // Trickled bytes go out one per send, spread over separate
                // segments; a stop cuts the pause short.
                const size_t step = action.trickleDelayMs > 0 ? 1 : action.bytes.size();
                for (size_t at = 0; at < action.bytes.size(); at += step) {
                    std::unique_lock<std::mutex> lock(mutex_);
                    if (at > 0 &&
                        changed_.wait_for(lock, std::chrono::milliseconds(action.trickleDelayMs),
                                          [&] { return stopping_; })) {
                        return false;
                    }
                    lock.unlock();
                    if (!send(action.bytes, at, step))
                        return false;
                }
                break;
            }
            case Action::Kind::kSilent:
                break;
            case Action::Kind::kClose:
                return false;
            case Action::Kind::kReset:
                ResetOnClose(client.Handle());
                return false;
            case Action::Kind::kHold:
                if (!WaitForRelease())
                    return false;
                break;
        }
    }
    return true;
}

bool FakeServer::WaitForRelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return stopping_ || released_; });
    held_ = released_ = false;
    return !stopping_;
}

}  // namespace test
}  // namespace vrelay

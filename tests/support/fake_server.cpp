#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "transport/packet.h"

namespace vrelay {
namespace test {

namespace {

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
    const char* begin = reinterpret_cast<const char*>(payload.data());
    return std::string(begin, strnlen(begin, payload.size()));
}

// ---- Action ----

Action Action::Frame(uint16_t type, Bytes payload, std::optional<uint32_t> trailer) {
    Action a;
    a.kind = Kind::kSendFrame;
    a.type = type;
    a.bytes = std::move(payload);
    a.trailer = trailer;
    return a;
}

Action Action::Text(uint16_t type, const std::string& text) {
    return Frame(type, TextPayload(text));
}

Action Action::Raw(Bytes bytes, bool trickle, int trickleDelayMs) {
    Action a;
    a.kind = Kind::kSendRaw;
    a.bytes = std::move(bytes);
    a.trickle = trickle;
    a.trickleDelayMs = trickleDelayMs;
    return a;
}

Action Action::Silent() {
    return Action();
}

Action Action::Close() {
    Action a;
    a.kind = Kind::kClose;
    return a;
}

Action Action::WaitGate(std::string name) {
    Action a;
    a.kind = Kind::kWaitGate;
    a.gate = std::move(name);
    return a;
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

// ---- encoders ----

Bytes EncodeFrame(uint16_t type, const Bytes& payload, int32_t streamId,
                  std::optional<uint32_t> trailer) {
    Bytes out;
    out.reserve(payload.size() + 14);
    out.push_back(static_cast<uint8_t>(type >> 8));
    out.push_back(static_cast<uint8_t>(type));
    PutU32(out, static_cast<uint32_t>(streamId));
    PutU32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    PutU32(out, trailer ? *trailer : static_cast<uint32_t>(payload.size()));
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
    for (int i = 0; i < valueCount && i < 7; ++i) {
        PutU32(out, static_cast<uint32_t>(values[static_cast<size_t>(i)]));
    }
    if (valueCount >= 7) {
        out.insert(out.end(), 6, 0);
    }
    return out;
}

// ---- FakeServer ----

// Reads from the client socket and keeps a copy of every byte: for the frame
// being read and for the whole-run record.
class FakeServer::RecordingSource : public ByteSource {
  public:
    RecordingSource(FakeServer& server, Socket& socket) : server_(server), socket_(socket) {}

    bool ReceiveBytes(char* buffer, size_t max, size_t* received) override {
        bool ok = socket_.ReceiveBytes(buffer, max, received);
        if (*received > 0) {
            frame_.insert(frame_.end(), buffer, buffer + *received);
            std::lock_guard<std::mutex> lock(server_.mutex_);
            server_.raw_.insert(server_.raw_.end(), buffer, buffer + *received);
        }
        return ok;
    }

    Bytes TakeFrame() {
        Bytes out;
        out.swap(frame_);
        return out;
    }

  private:
    FakeServer& server_;
    Socket& socket_;
    Bytes frame_;
};

FakeServer::FakeServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = std::make_unique<SocketServer>(0, 4, PollingSelect, "127.0.0.1");
    port_ = listener_->Port();
    thread_ = std::thread([this] { Run(); });
}

FakeServer::~FakeServer() {
    Stop();
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
        if (current_client_ != kInvalidSocket) {
            ::shutdown(static_cast<int>(current_client_), SHUT_RDWR);
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void FakeServer::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void FakeServer::SetConnectActions(std::vector<Action> actions) {
    std::lock_guard<std::mutex> lock(mutex_);
    connect_actions_ = std::move(actions);
}

bool FakeServer::WaitForFrames(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= n; });
}

bool FakeServer::WaitForSessionsEnded(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_ >= n; });
}

bool FakeServer::WaitForGate(const std::string& name, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return gate_waiting_ == name; });
}

void FakeServer::OpenGate(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gates_open_[name] = true;
    }
    changed_.notify_all();
}

std::vector<ReceivedFrame> FakeServer::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

Bytes FakeServer::RawBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

int FakeServer::SessionsAccepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

int FakeServer::SessionsEnded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

void FakeServer::Run() {
    for (;;) {
        pollfd fds[2] = {{static_cast<int>(listener_->Handle()), POLLIN, 0},
                         {static_cast<int>(wake_.Handle()), POLLIN, 0}};
        int rc = ::poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0 || (fds[1].revents & POLLIN) != 0) {
            return;
        }
        std::unique_ptr<Socket> client;
        try {
            client.reset(listener_->Accept());
        } catch (const char*) {
            return;
        }
        if (!client) {
            continue;
        }
        int session;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            session = ++accepted_;
            current_client_ = client->Handle();
            if (stopping_) {
                ::shutdown(static_cast<int>(current_client_), SHUT_RDWR);
            }
        }
        Serve(*client, session);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_client_ = kInvalidSocket;
            client->Close();
            ++ended_;
        }
        changed_.notify_all();
    }
}

void FakeServer::Serve(Socket& client, int session) {
    client.SetWakeSignal(&wake_);
    std::vector<Action> on_connect;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        on_connect = connect_actions_;
    }
    if (!Perform(client, on_connect)) {
        return;
    }
    RecordingSource source(*this, client);
    for (;;) {
        Packet packet;
        while (!packet.FilledPacket()) {
            int received = 0;
            if (!packet.GetData(&source, &received)) {
                return;  // client gone, or an oversize length
            }
            if (received == 0 && !packet.FilledPacket()) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) {
                    return;
                }
            }
        }
        ReceivedFrame frame;
        frame.type = packet.PacketType();
        frame.streamId = packet.StreamId();
        frame.payload.assign(packet.Data(), packet.Data() + packet.Length());
        frame.raw = source.TakeFrame();
        frame.ok = packet.OK();
        frame.session = session;
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
            handler = handler_;
        }
        changed_.notify_all();
        if (!Perform(client, handler ? handler(frame) : std::vector<Action>{})) {
            return;
        }
    }
}

bool FakeServer::Perform(Socket& client, const std::vector<Action>& actions) {
    for (const Action& action : actions) {
        switch (action.kind) {
            case Action::Kind::kSendFrame: {
                Bytes frame =
                    EncodeFrame(action.type, action.bytes, action.streamId, action.trailer);
                if (client.SendBytes(reinterpret_cast<const char*>(frame.data()), frame.size()) !=
                    static_cast<int64_t>(frame.size())) {
                    return false;
                }
                break;
            }
            case Action::Kind::kSendRaw: {
                if (!action.trickle) {
                    if (client.SendBytes(reinterpret_cast<const char*>(action.bytes.data()),
                                         action.bytes.size()) !=
                        static_cast<int64_t>(action.bytes.size())) {
                        return false;
                    }
                    break;
                }
                for (size_t i = 0; i < action.bytes.size(); ++i) {
                    if (i > 0 && action.trickleDelayMs > 0) {
                        // Spreads the bytes over separate segments; a stop
                        // cuts the pause short.
                        std::unique_lock<std::mutex> lock(mutex_);
                        if (changed_.wait_for(lock,
                                              std::chrono::milliseconds(action.trickleDelayMs),
                                              [&] { return stopping_; })) {
                            return false;
                        }
                    }
                    if (client.SendBytes(reinterpret_cast<const char*>(&action.bytes[i]), 1) != 1) {
                        return false;
                    }
                }
                break;
            }
            case Action::Kind::kSilent:
                break;
            case Action::Kind::kClose:
                return false;
            case Action::Kind::kWaitGate:
                if (!WaitAtGate(action.gate)) {
                    return false;
                }
                break;
        }
    }
    return true;
}

bool FakeServer::WaitAtGate(const std::string& name) {
    std::unique_lock<std::mutex> lock(mutex_);
    gate_waiting_ = name;
    changed_.notify_all();
    changed_.wait(lock, [&] { return stopping_ || gates_open_[name]; });
    gate_waiting_.clear();
    // A gate opens once: the next WaitGate on the same name blocks again.
    bool open = gates_open_[name];
    gates_open_[name] = false;
    return !stopping_ && open;
}

}  // namespace test
}  // namespace vrelay

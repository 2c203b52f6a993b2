#include "server/speech_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "transport/log.h"

namespace vrelay {
namespace server {

namespace {

std::string PeerName(SocketHandle handle) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&address), &length) !=
        0) {
        return "unknown peer";
    }
    char text[INET6_ADDRSTRLEN] = "";
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    return std::string(text) + ":" + std::to_string(port);
}

}  // namespace

SpeechServer::SpeechServer(ServerOptions options) : options_(std::move(options)) {}

SpeechServer::~SpeechServer() {
    Stop();
}

bool SpeechServer::Start(std::string* error) {
    if (started_) {
        *error = "already started";
        return false;
    }
    engine_ = MakeEngine(options_.engine, error);
    if (!engine_) {
        return false;
    }
    voice_ = engine_->DefaultVoice();
    if (!options_.voice.empty()) {
        const VoiceInfo* voice = FindVoice(engine_->Voices(), options_.voice);
        if (voice == nullptr) {
            *error = "unknown voice \"" + options_.voice + "\" for engine " + engine_->Name();
            return false;
        }
        voice_ = voice->name;
    }
    listener_ = std::make_unique<SocketServer>(options_.port, 64, PollingSelect,
                                               options_.listen_address);
    if (!listener_->IsOpen()) {
        *error = std::string("cannot listen on ") + options_.listen_address + ":" +
                 std::to_string(options_.port) + " (" + listener_->Error() + ")";
        listener_.reset();
        return false;
    }
    port_ = listener_->Port();
    stopping_ = false;
    wake_.Clear();
    started_ = true;
    accept_thread_ = std::thread(&SpeechServer::AcceptLoop, this);
    VR_LOG(logINFO) << "vrelay server: listening on " << options_.listen_address << ":" << port_
                    << ", engine " << engine_->Name() << ", voice \"" << voice_ << "\"";
    return true;
}

void SpeechServer::AcceptLoop() {
    while (!stopping_.load()) {
        pollfd fds[2] = {{static_cast<int>(listener_->Handle()), POLLIN, 0},
                         {static_cast<int>(wake_.Handle()), POLLIN, 0}};
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            VR_LOG(logERROR) << "vrelay server: waiting for clients failed, errno " << errno;
            return;
        }
        if (stopping_.load()) {
            return;
        }
        bool failed = false;
        std::unique_ptr<Socket> socket(listener_->Accept(&failed));
        if (failed) {
            // A connection that failed before it was accepted (ECONNABORTED
            // and the like); running out of descriptors ends up here too.
            VR_LOG(logERROR) << "vrelay server: accept failed, errno " << errno;
            continue;
        }
        if (!socket) {
            continue;
        }
        const std::string peer = PeerName(socket->Handle());
        std::lock_guard<std::mutex> lock(slots_mutex_);
        if (Reap() >= options_.max_sessions) {
            VR_LOG(logERROR) << "vrelay server: refused " << peer << ": " << options_.max_sessions
                             << " sessions are open";
            continue;  // the socket closes as it goes out of scope
        }
        auto slot = std::make_unique<Slot>();
        slot->session =
            std::make_unique<Session>(next_id_++, std::move(socket), peer, engine_.get(), voice_,
                                      options_.limits, &stopping_, &wake_);
        Slot* raw = slot.get();
        slots_.push_back(std::move(slot));
        raw->thread = std::thread([raw] {
            raw->session->Run();
            raw->done = true;
        });
    }
}

int SpeechServer::Reap() {
    int running = 0;
    for (auto it = slots_.begin(); it != slots_.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            it = slots_.erase(it);
        } else {
            ++running;
            ++it;
        }
    }
    return running;
}

int SpeechServer::ActiveSessions() {
    std::lock_guard<std::mutex> lock(slots_mutex_);
    return Reap();
}

void SpeechServer::Stop() {
    if (!started_) {
        return;
    }
    stopping_ = true;
    wake_.Raise();
    if (accept_thread_.joinable()) {
        accept_thread_.join();
    }
    std::list<std::unique_ptr<Slot>> slots;
    {
        std::lock_guard<std::mutex> lock(slots_mutex_);
        slots.swap(slots_);
    }
    for (auto& slot : slots) {
        slot->session->Interrupt();
    }
    for (auto& slot : slots) {
        slot->thread.join();
    }
    listener_.reset();
    started_ = false;
    VR_LOG(logINFO) << "vrelay server: stopped";
}

}  // namespace server
}  // namespace vrelay

// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-web: serves a page that speaks text through a speech server and
// highlights each word as it is heard.
//
// The speech side uses only the public interface (<vrelay/vrelay.h>): a pool
// of connections that the browser tabs take for a request each. Without
// --server it starts the reference server inside the process on a free
// loopback port, as vrelay-say does. The network side (HTTP, WebSocket) runs
// on the main thread.
#include <vrelay/vrelay.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "frontend/embedded_server.h"
#include "frontend/voice_choice.h"
#include "transport/address.h"
#include "web/http_server.h"
#include "web/server_pool.h"
#include "web/session_registry.h"
#include "web/socket_ledger.h"
#include "web/voice_catalog.h"
#include "web/web_options.h"

namespace {

enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitNoServer = 2, kExitCannotListen = 3 };

// From SIGTERM to the exit, whatever the speech server does.
constexpr auto kStopTime = std::chrono::milliseconds(1500);
// Descriptors a server connection may take: the library's socket and its
// wake-up signal, and the embedded server's end.
constexpr int kDescriptorsPerServerConnection = 3;

// The server's voices, read once through a connection of their own.
bool ReadVoiceList(const std::string& host, int port, std::vector<vrelay::frontend::VoiceEntry>* voices) {
    const vr_handle connection = vrCreateConnection();
    const bool ok = connection >= 0 &&
                    vrOpenConnection(connection, host.c_str(), port) == VR_SUCCESS &&
                    vrelay::frontend::ReadVoices(connection, voices) && !voices->empty();
    vrDestroyConnection(connection);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vrelay::web;
    WebOptions options;
    std::string error;
    if (!ParseWebArgs(argc, argv, &options, &error)) {
        std::fprintf(stderr, "vrelay-web: %s\n%s", error.c_str(), kWebUsage);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kWebUsage, stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("vrelay-web %s\n", VRELAY_VERSION_STRING);
        return kExitOk;
    }

    std::string host = "127.0.0.1";
    int port = 0;
    std::unique_ptr<vrelay::frontend::EmbeddedServer> embedded;
    if (!options.server.empty()) {
        vrelay::HostPort address;
        if (!vrelay::ParseHostPort(options.server, &address)) {
            std::fprintf(stderr, "vrelay-web: --server wants HOST:PORT, not \"%s\"\n",
                         options.server.c_str());
            return kExitUsage;
        }
        host = address.host;
        port = address.port;
    } else {
        embedded = vrelay::frontend::StartEmbeddedServer(options.engine, options.verbose, &error);
        if (!embedded) {
            std::fprintf(stderr, "vrelay-web: cannot start the speech server: %s\n", error.c_str());
            return kExitNoServer;
        }
        port = embedded->Port();
    }
    std::vector<vrelay::frontend::VoiceEntry> voices;
    if (!ReadVoiceList(host, port, &voices)) {
        std::fprintf(stderr, "vrelay-web: no voice list from a speech server at %s:%d\n",
                     host.c_str(), port);
        return kExitNoServer;
    }
    const VoiceCatalog catalog(std::move(voices));

    // Room for every server connection, then the client connections'
    // budget from what the open-files limit leaves.
    const int budget =
        ConnectionBudget(options.serverConnections * kDescriptorsPerServerConnection);
    if (budget < 16) {
        std::fprintf(stderr,
                     "vrelay-web: the open-files limit leaves room for %d client connections: "
                     "raise it (ulimit -n, LimitNOFILE=) or lower --server-connections\n",
                     budget);
        return kExitCannotListen;
    }
    // The ledger outlives the io_context, whose queued handlers hold client
    // connections; the pool outlives the registry, whose sessions take its
    // connections; the registry is destroyed before the io_context, since
    // the sessions' threads hand messages to it, and after the server.
    SocketLedger ledger(budget, options.maxConnectionsPerAddress);
    ServerPool pool(host, port, options.serverConnections, options.limits.idleSeconds,
                    &BrowserSession::OnPacket);
    boost::asio::io_context io;
    SessionRegistry registry(&pool, options.limits);
    SocketContext context;
    context.registry = &registry;
    context.voices = &catalog;
    context.ledger = &ledger;
    context.maxTextBytes = options.maxTextBytes;
    context.idleSeconds = options.websocketIdleSeconds;
    HttpServer http(io, options.http, context);
    if (!http.Listen(&error)) {
        std::fprintf(stderr, "vrelay-web: %s\n", error.c_str());
        return kExitCannotListen;
    }
    std::printf("vrelay-web: serving http://%s:%d/ (speech server %s:%d)\n",
                options.http.listen.find(':') != std::string::npos
                    ? ("[" + options.http.listen + "]").c_str()
                    : options.http.listen.c_str(),
                http.Port(), host.c_str(), port);
    std::fflush(stdout);

    // Idle browser sessions and server connections are closed now and then.
    boost::asio::steady_timer sweep(io);
    std::function<void()> schedule = [&] {
        sweep.expires_after(std::chrono::seconds(5));
        sweep.async_wait([&](boost::system::error_code waited) {
            if (!waited) {
                const auto now = SessionRegistry::Clock::now();
                registry.Sweep(now);
                pool.CloseIdle(now);
                schedule();
            }
        });
    };
    schedule();

    // SIGINT or SIGTERM: stop accepting, end every session, leave.
    auto deadline = ServerPool::Clock::now();
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code, int) {
        deadline = ServerPool::Clock::now() + kStopTime;
        http.Stop();
        sweep.cancel();
        registry.CloseAll();
        io.stop();
    });
    std::signal(SIGPIPE, SIG_IGN);
    io.run();
    // Every request still running is cancelled, on a thread of its own: a
    // cancel reconnects, and a server that does not accept would hold it.
    std::promise<bool> released;
    std::future<bool> done = released.get_future();
    std::thread stopper([&] { released.set_value(pool.Close(deadline)); });
    if (done.wait_until(deadline + std::chrono::milliseconds(100)) != std::future_status::ready ||
        !done.get()) {
        std::fprintf(stderr, "vrelay-web: the speech server did not let go of a request; "
                             "leaving without it\n");
        std::fflush(nullptr);
        std::_Exit(kExitOk);
    }
    stopper.join();
    registry.CloseAll();
    if (embedded) {
        embedded->Stop();
    }
    return kExitOk;
}

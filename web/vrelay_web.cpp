// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-web: serves a page that speaks text through a speech server and
// highlights each word as it is heard.
//
// The speech side is the front-end core: one connection pool shared by the
// browser tabs, each tab's speech a render worker on it. Without --server it
// starts the reference server inside the process on a free loopback port, as
// vrelay-say does. The network side (HTTP, WebSocket) runs on the main
// thread.
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

#include "frontend/connection_pool.h"
#include "frontend/embedded_server.h"
#include "frontend/exit_codes.h"
#include "frontend/render_worker.h"
#include "web/http_server.h"
#include "web/page_settings.h"
#include "web/session_registry.h"
#include "web/socket_ledger.h"
#include "web/web_options.h"

namespace {

using namespace vrelay::frontend;

// From SIGTERM to the exit, whatever the speech server does.
constexpr auto kStopTime = std::chrono::milliseconds(1500);
// Descriptors a server connection may take: the library's socket and its
// wake-up signal, and the embedded server's end.
constexpr int kDescriptorsPerServerConnection = 3;

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "vrelay-web: %s\n", message.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vrelay::web;
    WebOptions options;
    std::string error;
    if (!ParseWebArgs(argc, argv, &options, &error)) {
        std::fprintf(stderr, "vrelay-web: %s\n%s", error.c_str(), WebUsage().c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(WebUsage().c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("vrelay-web %s\n", VRELAY_VERSION_STRING);
        return kExitOk;
    }

    std::string host = options.speech.host;
    int port = options.speech.port;
    std::unique_ptr<EmbeddedServer> embedded;
    if (options.speech.server.empty()) {
        embedded = StartEmbeddedServer(options.speech.engine, options.verbose, &error);
        if (!embedded) {
            return Fail(kExitNoServer, "cannot start the speech server: " + error);
        }
        host = "127.0.0.1";
        port = embedded->Port();
    }
    // The ledger outlives the io_context, whose queued handlers hold client
    // connections; the pool outlives the registry, whose tabs take its
    // connections; the registry is destroyed before the io_context, since
    // the tabs' threads hand messages to it, and after the server.
    ConnectionPool pool(host, port, options.serverConnections, options.limits.idleSeconds,
                        options.speech.fallbacks);
    std::vector<VoiceEntry> voices;
    {
        // Asked through the pool, whose first connection then serves a tab.
        WorkerOptions worker;
        worker.pool = &pool;
        JobEnd failure;
        if (!RenderWorker(worker).Voices(&voices, &failure)) {
            return Fail(failure.exitCode == kExitSpeechFailed ? kExitNoServer : failure.exitCode,
                        failure.reason);
        }
    }
    const PageSettings settings(voices, options.maxTextBytes);

    // Room for every server connection, then the client connections'
    // budget from what the open-files limit leaves.
    const int budget =
        ConnectionBudget(options.serverConnections * kDescriptorsPerServerConnection);
    if (budget < 16) {
        return Fail(kExitCannotListen,
                    "the open-files limit leaves room for " + std::to_string(budget) +
                        " client connections: raise it (ulimit -n, LimitNOFILE=) or lower "
                        "--server-connections");
    }
    SocketLedger ledger(budget, options.maxConnectionsPerAddress);
    boost::asio::io_context io;
    SessionRegistry registry(&pool, options.limits, options.speech.resume);
    SocketContext context;
    context.registry = &registry;
    context.settings = &settings;
    context.ledger = &ledger;
    context.maxTextBytes = options.maxTextBytes;
    context.idleSeconds = options.websocketIdleSeconds;
    HttpServer http(io, options.http, context);
    if (!http.Listen(&error)) {
        return Fail(kExitCannotListen, error);
    }
    std::printf("vrelay-web: serving http://%s:%d/ (speech server %s:%d)\n",
                options.http.listen.find(':') != std::string::npos
                    ? ("[" + options.http.listen + "]").c_str()
                    : options.http.listen.c_str(),
                http.Port(), host.c_str(), port);
    std::fflush(stdout);

    // Idle tabs and server connections are closed now and then.
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

    // SIGINT or SIGTERM: stop accepting and serving, then end every tab.
    auto deadline = ConnectionPool::Clock::now();
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code, int) {
        deadline = ConnectionPool::Clock::now() + kStopTime;
        http.Stop();
        sweep.cancel();
        io.stop();
    });
    std::signal(SIGPIPE, SIG_IGN);
    io.run();
    // Every tab is stopped and every request still running cancelled, on a
    // thread of its own: a cancel reconnects, and a server that does not
    // accept would hold it.
    std::promise<bool> released;
    std::future<bool> done = released.get_future();
    std::thread stopper([&] {
        registry.CloseAll();
        released.set_value(pool.Close(deadline));
    });
    if (done.wait_until(deadline + std::chrono::milliseconds(100)) != std::future_status::ready ||
        !done.get()) {
        std::fprintf(stderr, "vrelay-web: the speech server did not let go of a request; "
                             "leaving without it\n");
        std::fflush(nullptr);
        std::_Exit(kExitOk);
    }
    stopper.join();
    if (embedded) {
        embedded->Stop();
    }
    return kExitOk;
}

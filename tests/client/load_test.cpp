// SPDX-License-Identifier: MIT
// Load: many threads on few handles against the real server (tone engine),
// every kind of request mixed, for a bounded time. Every result must be one
// a careful application is told to expect, every accepted asynchronous render
// must complete exactly once, and memory must stay flat.
//
// VRELAY_LOAD_SECONDS sets the duration (default 5; CI's sanitizer runs use
// 30).
#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/handles.h"
#include "server/speech_server.h"
#include "tests/support/process_status.h"

namespace vrelay {
namespace {

using Clock = std::chrono::steady_clock;

// Per handle: how many asynchronous renders were accepted and completed.
struct Tally {
    std::atomic<long> accepted{0};
    std::atomic<long> done{0};
    static int32_t VR_CDECL Callback(void* self, PACKET_TYPE type, void*, int32_t) {
        if (type == PACKET_REQUEST_DONE)
            ++static_cast<Tally*>(self)->done;
        return VR_SUCCESS;
    }
};

int LoadSeconds() {
    const char* text = std::getenv("VRELAY_LOAD_SECONDS");
    const int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 5;
}

TEST(LoadTest, ThirtyTwoConnectionsEightThreadsEveryRequestKind) {
    Connections().Clear();
    Enumerators().Clear();
    server::ServerOptions options;
    options.engine = "tone";
    server::SpeechServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const int port = server.Port();

    // Handle 0 is shared by threads 0-3; each thread also has three of its own.
    constexpr int kThreads = 8;
    constexpr int kHandles = 32;
    std::vector<vr_handle> handles(kHandles);
    std::vector<Tally> tallies(kHandles);
    for (int i = 0; i < kHandles; ++i) {
        handles[i] = vrCreateConnection();
        ASSERT_EQ(vrSetCallBack(handles[i], Tally::Callback), VR_SUCCESS);
        ASSERT_EQ(vrSetUserData(handles[i], &tallies[i]), VR_SUCCESS);
        ASSERT_EQ(vrOpenConnection(handles[i], "127.0.0.1", port), VR_SUCCESS);
    }

    // What each request may answer under load: a request meets closes,
    // cancels and other threads' requests on the same handle.
    const std::set<vr_result> kRequestResults = {VR_SUCCESS, VR_CANCELLED, VR_SEND_FAILED,
                                                 VR_ERROR};
    const std::set<vr_result> kAsyncResults = {VR_SUCCESS, VR_BUSY};
    const std::set<vr_result> kCancelResults = {VR_SUCCESS, VR_SEND_FAILED};
    std::mutex unexpectedMutex;
    std::map<std::string, int> unexpected;
    auto check = [&](const char* what, const std::set<vr_result>& allowed, vr_result r) {
        if (!allowed.count(r)) {
            std::lock_guard<std::mutex> lock(unexpectedMutex);
            ++unexpected[std::string(what) + " " + std::to_string(r)];
        }
    };

    const auto start = Clock::now();
    const auto duration = std::chrono::seconds(LoadSeconds());
    const auto until = start + duration;
    std::atomic<long> earlyRss{0};
    std::atomic<long> operations{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
            const int own[] = {t < 4 ? 0 : 4 + t * 3, 4 + t * 3 + 1, 4 + t * 3 + 2};
            while (Clock::now() < until) {
                const int index = own[random() % 3];
                const vr_handle h = handles[index];
                switch (random() % 10) {
                    case 0:
                        check("render", kRequestResults, vrRenderSpeech(h, "Hello load test"));
                        break;
                    case 1:
                        check("push", kRequestResults, vrPushSpeechStream(h, "pushed words "));
                        break;
                    case 2:
                        check("flush", kRequestResults, vrFlushSpeechStream(h));
                        break;
                    case 3: {
                        const vr_result r = vrRenderSpeechXMLAsync(h, "<s>async words</s>");
                        tallies[index].accepted += r == VR_SUCCESS;
                        check("async", kAsyncResults, r);
                        break;
                    }
                    case 4:
                        check("cancel", kCancelResults, vrCancelRequest(h));
                        break;
                    case 5:
                        check("query", kRequestResults, vrQueryServer(h, "<voice name=\"all\"/>"));
                        break;
                    case 6: {
                        const vr_handle voices = vrEnumerateConnectionVoices(h);
                        check("enumerate", {VR_SUCCESS}, voices >= 1000 ? VR_SUCCESS : voices);
                        vrCloseEnumerator(voices);
                        break;
                    }
                    case 7:
                        if (random() % 4 == 0)
                            check("close", {VR_SUCCESS, VR_SEND_FAILED}, vrCloseConnection(h));
                        check("open", {VR_SUCCESS}, vrOpenConnection(h, "127.0.0.1", port));
                        break;
                    case 8:
                        check("set voice", kRequestResults, vrSetVoiceFast(h, "tone"));
                        break;
                    default:
                        check("async plain", kAsyncResults, [&] {
                            const vr_result r = vrRenderSpeechAsync(h, "plain async");
                            tallies[index].accepted += r == VR_SUCCESS;
                            return r;
                        }());
                }
                ++operations;
                if (t == 0 && earlyRss == 0 && Clock::now() - start > duration / 3)
                    earlyRss = test::StatusKilobytes("VmRSS:");
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    const long lateRss = test::StatusKilobytes("VmRSS:");

    for (int i = 0; i < kHandles; ++i) {
        // A synchronous render joins the last worker; destroy then frees all.
        vrRenderSpeech(handles[i], "drain");
        EXPECT_EQ(vrDestroyConnection(handles[i]), VR_SUCCESS);
        EXPECT_EQ(tallies[i].done.load(), tallies[i].accepted.load()) << "handle " << i;
    }
    for (const auto& entry : unexpected)
        ADD_FAILURE() << entry.second << " unexpected results: " << entry.first;
    EXPECT_GT(operations.load(), 100);
    // Flat: what the last two thirds added stays small against the whole.
    // Under a sanitizer its own bookkeeping grows for a while (ASan's
    // quarantine of freed blocks, TSan's per-thread histories), so the bound
    // is wider there; ASan's leak check still sees anything kept for good.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr long kGrowthKilobytes = 256 * 1024;
#else
    constexpr long kGrowthKilobytes = 64 * 1024;
#endif
    EXPECT_LT(lateRss - earlyRss.load(), kGrowthKilobytes)
        << "kB; early " << earlyRss << " late " << lateRss;
    RecordProperty("seconds", LoadSeconds());
    RecordProperty("operations", std::to_string(operations.load()));
    RecordProperty("rss_kb_after_a_third", std::to_string(earlyRss.load()));
    RecordProperty("rss_kb_at_the_end", std::to_string(lateRss));
    server.Stop();
    Connections().Clear();
}

}  // namespace
}  // namespace vrelay

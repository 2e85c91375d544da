#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/wire.h"
#include "net/framed.h"
#include "support/loopback.h"
#include "support/proto_error.h"

namespace {

using namespace std::chrono_literals;

Bytes frameHeader(uint32_t length) {
    Bytes h(4);
    storeBe32(h.data(), length);
    return h;
}

bool sendRaw(FramedConn& c, const std::string& s) {
    return c.sendAll(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

int64_t msSince(int64_t startNanos) { return (nowNanos() - startNanos) / 1000000; }

TEST(FramedConn, FramesOfEverySizeArriveWhole) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    EXPECT_EQ(p.client->route, "직접");
    std::vector<Bytes> frames = {Bytes{}, Bytes{7}, Bytes(1000, 0x5a), Bytes(3 * 1048576 + 17), Bytes{}};
    for (size_t i = 0; i < frames[3].size(); ++i) frames[3][i] = uint8_t(i * 31 + 7);
    auto sender = std::async(std::launch::async, [&] {
        for (auto& f : frames)
            if (!p.client->sendFrame(f)) return false;
        return true;
    });
    for (auto& f : frames) EXPECT_EQ(p.host->readFrame(8 * 1048576, 5000), f);
    EXPECT_TRUE(sender.get());
}

TEST(FramedConn, ManySmallFramesInOnePacket) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    Bytes burst;
    for (uint32_t i = 0; i < 2000; ++i) {
        Bytes h = frameHeader(4);
        burst.insert(burst.end(), h.begin(), h.end());
        Bytes v(4);
        storeBe32(v.data(), i);
        burst.insert(burst.end(), v.begin(), v.end());
    }
    ASSERT_TRUE(p.client->sendAll(burst.data(), burst.size()));
    for (uint32_t i = 0; i < 2000; ++i) {
        Bytes f = p.host->readFrame(4, 5000);
        ASSERT_EQ(f.size(), 4u);
        ASSERT_EQ(loadBe32(f.data()), i);
    }
}

TEST(FramedConn, FrameAboveLimitFailsBeforeItsPayloadAndClosesTheConnection) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    // Exactly the limit is fine.
    ASSERT_TRUE(p.client->sendFrame(Bytes(100, 1)));
    EXPECT_EQ(p.host->readFrame(100, 5000).size(), 100u);
    // One more is refused from the header alone: no payload ever follows, yet it fails at once.
    for (uint32_t announced : {101u, 0xFFFFFFFFu}) {
        auto q = makeLoopbackPair();
        ASSERT_TRUE(q.client && q.host);
        Bytes h = frameHeader(announced);
        ASSERT_TRUE(q.client->sendAll(h.data(), h.size()));
        EXPECT_EQ(protoErrorOf([&] { q.host->readFrame(100, 5000); }), "너무 큰 묶음");
        EXPECT_TRUE(q.host->isClosed());
        EXPECT_FALSE(q.host->sendFrame(Bytes{1}));
        EXPECT_EQ(protoErrorOf([&] { q.client->readFrame(100, 5000); }), "연결이 닫혔습니다");
    }
}

TEST(FramedConn, ZeroTimeOutReturnsWhatIsAlreadyThere) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    EXPECT_EQ(protoErrorOf([&] { p.host->readFrame(100, 0); }), "시간 초과");
    ASSERT_TRUE(p.client->sendFrame(Bytes{1, 2, 3}));
    ASSERT_TRUE(p.client->sendFrame(Bytes{4}));
    // Bytes waiting in the socket complete the frame even with no time to wait.
    Bytes got;
    for (int i = 0; i < 100 && got.empty(); ++i) {  // the bytes may still be on their way
        try {
            got = p.host->readFrame(100, 0);
        } catch (const ProtoError&) {
            std::this_thread::sleep_for(10ms);
        }
    }
    EXPECT_EQ(got, (Bytes{1, 2, 3}));
    EXPECT_EQ(p.host->readFrame(100, 0), (Bytes{4}));  // already buffered
    EXPECT_EQ(protoErrorOf([&] { p.host->readFrame(100, 0); }), "시간 초과");
}

TEST(FramedConn, TimeOutOnAPartialFrame) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    Bytes h = frameHeader(10);
    ASSERT_TRUE(p.client->sendAll(h.data(), h.size()));
    ASSERT_TRUE(p.client->sendAll(Bytes(5, 9).data(), 5));
    int64_t start = nowNanos();
    EXPECT_EQ(protoErrorOf([&] { p.host->readFrame(100, 150); }), "시간 초과");
    EXPECT_GE(msSince(start), 140);
    EXPECT_FALSE(p.host->isClosed());  // a time-out leaves the connection usable
    ASSERT_TRUE(p.client->sendAll(Bytes(5, 9).data(), 5));
    EXPECT_EQ(p.host->readFrame(100, 5000), Bytes(10, 9));
}

TEST(FramedConn, PeerCloseEndsReadsAfterBufferedFrames) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    ASSERT_TRUE(p.client->sendFrame(Bytes{1}));
    ASSERT_TRUE(p.client->sendLine("tail"));
    p.client.reset();  // destruction closes the socket
    EXPECT_EQ(p.host->readFrame(10, 5000), Bytes{1});
    EXPECT_EQ(p.host->readLine(10, 5000), "tail");
    EXPECT_EQ(protoErrorOf([&] { p.host->readFrame(10, 5000); }), "연결이 닫혔습니다");
    EXPECT_TRUE(p.host->isClosed());
    EXPECT_EQ(protoErrorOf([&] { p.host->readLine(10, 5000); }), "연결이 닫혔습니다");
}

TEST(FramedConn, LinesAndFramesShareTheBuffer) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    ASSERT_TRUE(p.client->sendLine("{\"nonce\":\"abc\"}"));
    ASSERT_TRUE(p.client->sendLine(""));
    ASSERT_TRUE(p.client->sendLine("a\rb"));
    ASSERT_TRUE(p.client->sendFrame(Bytes{'\n', '\n'}));
    ASSERT_TRUE(p.client->sendLine("end"));
    EXPECT_EQ(p.host->readLine(8192, 5000), "{\"nonce\":\"abc\"}");
    EXPECT_EQ(p.host->readLine(8192, 5000), "");
    EXPECT_EQ(p.host->readLine(8192, 5000), "a\rb");  // a carriage return is ordinary text
    EXPECT_EQ(p.host->readFrame(10, 5000), (Bytes{'\n', '\n'}));
    EXPECT_EQ(p.host->readLine(8192, 5000), "end");
}

// One large frame (or line) makes the buffer grow for it; once it is read, the ordinary traffic
// that follows gets by with a buffer of its own size again.
TEST(FramedConn, ReceiveBufferGivesBackWhatOneLargeFrameMadeItGrow) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    const size_t large = size_t(24) << 20;
    auto sender = std::async(std::launch::async, [&] {
        return p.client->sendFrame(Bytes(large, 0x5a)) && p.client->sendLine(std::string(large, 'a')) &&
               p.client->sendFrame(Bytes(100, 1)) && p.client->sendLine("끝");
    });
    EXPECT_EQ(p.host->readFrame(large, 10000).size(), large);
    EXPECT_LT(p.host->receiveBufferBytes(), large / 4);
    EXPECT_EQ(p.host->readLine(large, 10000).size(), large);
    EXPECT_LT(p.host->receiveBufferBytes(), large / 4);
    EXPECT_EQ(p.host->readFrame(large, 10000).size(), 100u);
    EXPECT_EQ(p.host->readLine(large, 10000), "끝");
    EXPECT_LT(p.host->receiveBufferBytes(), large / 4);
    EXPECT_TRUE(sender.get());
}

// The line limit holds wherever the line feed falls relative to what one receive returns.
TEST(FramedConn, LineLimitHoldsHoweverTheBytesArrive) {
    const size_t max = 64;
    struct Case {
        const char* name;
        std::vector<std::string> packets;  // sent with a pause between them
        std::string expected;              // the line, or the error text
        bool fails;
    };
    const std::string exact(max, 'x'), over(max + 1, 'y');
    const std::vector<Case> cases = {
        {"exact, feed in a later packet", {exact, "\n"}, exact, false},
        {"exact, feed in the same packet", {exact + "\n"}, exact, false},
        {"one over, no feed", {over}, "너무 긴 줄", true},
        {"one over, feed in the same packet", {over + "\nnext\n"}, "너무 긴 줄", true},
        {"one over, feed in a later packet", {over, "\n"}, "너무 긴 줄", true},
        {"far over, feed in the same packet", {std::string(5000, 'z') + "\n"}, "너무 긴 줄", true},
        {"after a short line in the same packet", {"ok\n" + over + "\n"}, "ok", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = makeLoopbackPair();
        ASSERT_TRUE(p.client && p.host);
        for (const std::string& packet : c.packets) {
            ASSERT_TRUE(sendRaw(*p.client, packet));
            std::this_thread::sleep_for(20ms);
        }
        std::string got;
        std::string err = protoErrorOf([&] { got = p.host->readLine(max, 5000); });
        if (c.fails) {
            EXPECT_EQ(err, c.expected);
            EXPECT_TRUE(p.host->isClosed());
        } else {
            EXPECT_EQ(err, "");
            EXPECT_EQ(got, c.expected);
        }
    }
}

TEST(FramedConn, ShutdownWakesABlockedReaderPromptly) {
    for (bool withTimeOut : {false, true}) {
        SCOPED_TRACE(withTimeOut ? "with a time-out" : "without a time-out");
        auto p = makeLoopbackPair();
        ASSERT_TRUE(p.client && p.host);
        std::atomic<int64_t> wokeAt{0};
        auto reader = std::async(std::launch::async, [&] {
            std::string err = protoErrorOf([&] { p.host->readFrame(100, withTimeOut ? 60000 : -1); });
            wokeAt = nowNanos();
            return err;
        });
        std::this_thread::sleep_for(150ms);  // let the reader block
        int64_t start = nowNanos();
        p.host->shutdown();
        ASSERT_EQ(reader.wait_for(5s), std::future_status::ready) << "reader never woke";
        EXPECT_EQ(reader.get(), "연결이 닫혔습니다");
        // A slice is 50 ms; allow for a loaded machine but nothing like a missed wake.
        EXPECT_LT((wokeAt - start) / 1000000, 1000);
        EXPECT_FALSE(p.host->sendFrame(Bytes{1}));
        p.host->shutdown();  // twice is harmless
    }
}

TEST(FramedConn, ShutdownWakesABlockedWriter) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    // Nobody reads the host end, so the client's writes stall once the buffers are full.
    Bytes big(8 * 1048576, 1);
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i < 64; ++i)
            if (!p.client->sendFrame(big)) return false;
        return true;
    });
    ASSERT_EQ(writer.wait_for(300ms), std::future_status::timeout) << "writes did not stall";
    p.client->shutdown();
    ASSERT_EQ(writer.wait_for(5s), std::future_status::ready) << "writer never woke";
    EXPECT_FALSE(writer.get());
}

TEST(FramedConn, AWriterGivesUpOnAPeerThatTakesNothing) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    p.client->setSendStallMs(200);
    Bytes big(8 * 1048576, 1);
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i < 64; ++i)
            if (!p.client->sendFrame(big)) return false;
        return true;
    });
    // Nobody reads and nobody shuts down: the writer must come back by itself.
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready) << "writer waits forever";
    EXPECT_FALSE(writer.get());
    EXPECT_TRUE(p.client->sendStalled());
    EXPECT_TRUE(p.client->isClosed());
    EXPECT_FALSE(p.client->sendFrame(Bytes{1}));
}

TEST(FramedConn, ASlowReaderIsNoStall) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    p.client->setSendStallMs(1000);
    const Bytes frame(1048576, 2);
    const int count = 24;  // well beyond what the socket buffers hold
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i < count; ++i)
            if (!p.client->sendFrame(frame)) return false;
        return true;
    });
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(20ms);  // a slow link, taking bytes all the time
        ASSERT_EQ(p.host->readFrame(2 * 1048576, 10000), frame);
    }
    EXPECT_TRUE(writer.get());
    EXPECT_FALSE(p.client->sendStalled());
}

// A reader that takes a little now and then, never letting the stall time run out, still does
// not hold the writer: a frame must go out at the minimum rate. The reader takes far less than
// the frame within the frame's allowance, and never stops for the stall time.
TEST(FramedConn, AReaderTakingALittleNowAndThenIsCutOffAtTheMinimumRate) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    p.client->setSendStallMs(1000);
    p.client->setSendMinRate(64 << 20);  // the 32 MiB frame is allowed 1.5 s in all
    const Bytes frame(32u << 20, 3);
    auto writer = std::async(std::launch::async, [&] { return p.client->sendFrame(frame); });
    std::atomic<bool> stop{false};
    auto reader = std::async(std::launch::async, [&] {
        // About 5 MiB/s, bytes taken all the time: the stall time never runs out, and the frame
        // would take some 6 s at this pace.
        while (!stop.load()) {
            std::this_thread::sleep_for(50ms);
            try {
                if (!p.host->fill(0)) return;
            } catch (const ProtoError&) {
            }
        }
    });
    ASSERT_EQ(writer.wait_for(30s), std::future_status::ready) << "the slow reader holds the writer";
    stop = true;
    reader.wait();
    EXPECT_FALSE(writer.get());
    EXPECT_TRUE(p.client->sendStalled());
}

TEST(FramedConn, CloseWakesABlockedAccept) {
    ListenSocket listener;
    ASSERT_TRUE(listener.open(0, true));
    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    std::this_thread::sleep_for(150ms);
    listener.close();
    ASSERT_EQ(accepted.wait_for(5s), std::future_status::ready) << "accept never woke";
    EXPECT_EQ(accepted.get(), nullptr);
    EXPECT_EQ(listener.accept(), nullptr);  // closed stays closed
}

TEST(FramedConn, WritersOnSeveralThreadsNeverInterleave) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    const int threads = 4, perThread = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                if (i % 2) {
                    p.client->sendFrame(Bytes(size_t(1000 + 37 * i), uint8_t('a' + t)));
                } else {
                    p.client->sendFrame(Bytes(size_t(70000 + i), uint8_t('a' + t)));
                }
            }
        });
    std::vector<int> counts(threads, 0);
    std::string fault;
    for (int n = 0; n < threads * perThread && fault.empty(); ++n) {
        Bytes f;
        fault = protoErrorOf([&] { f = p.host->readFrame(1 << 20, 10000); });
        if (!fault.empty()) break;
        int t = f.empty() ? -1 : f[0] - 'a';
        if (t < 0 || t >= threads) fault = "unknown writer";
        else if (std::count(f.begin(), f.end(), f[0]) != std::ptrdiff_t(f.size())) fault = "interleaved frame";
        else ++counts[size_t(t)];
    }
    p.client->shutdown();  // frees the writers should the reader have stopped early
    for (auto& w : writers) w.join();
    EXPECT_EQ(fault, "");
    for (int c : counts) EXPECT_EQ(c, perThread);
}

TEST(FramedConn, WaitReadable) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    EXPECT_FALSE(p.host->waitReadable(50));
    ASSERT_TRUE(p.client->sendFrame(Bytes{1}));
    ASSERT_TRUE(p.client->sendFrame(Bytes{2}));
    EXPECT_TRUE(p.host->waitReadable(5000));
    EXPECT_EQ(p.host->readFrame(10, 5000), Bytes{1});
    EXPECT_TRUE(p.host->waitReadable(0));  // the second frame may already sit in the buffer
    EXPECT_EQ(p.host->readFrame(10, 5000), Bytes{2});
}

TEST(FramedConn, AddressesAndPorts) {
    ListenSocket listener;
    ASSERT_TRUE(listener.open(0, false));  // dual stack where the system has IPv6
    ASSERT_GT(listener.port(), 0);
    BackgroundAccept accepted(listener);
    auto client = connectTcp("127.0.0.1", listener.port(), 5000);
    ASSERT_TRUE(client);
    auto host = accepted.get();
    ASSERT_TRUE(host);
    EXPECT_EQ(client->peerAddress(), "127.0.0.1:" + std::to_string(listener.port()));
    EXPECT_EQ(host->peerAddress(), "127.0.0.1:" + std::to_string(client->localPort()));
    EXPECT_EQ(client->localPort() > 0, true);
    EXPECT_EQ(host->localPort(), listener.port());
    EXPECT_FALSE(localHostName().empty());
}

TEST(FramedConn, RefusedDialReportsTheRefusal) {
    ListenSocket listener;
    ASSERT_TRUE(listener.open(0, true));
    int port = listener.port();
    listener.close();  // nothing listens there now
    bool refused = false;
    clearLastConnectError();
    EXPECT_EQ(connectTcp("127.0.0.1", port, 3000, 0, false, &refused), nullptr);
    EXPECT_TRUE(refused);
    EXPECT_EQ(lastConnectError(), 10061);
    // The flag is cleared on entry.
    ListenSocket again;
    ASSERT_TRUE(again.open(0, true));
    BackgroundAccept accepted(again);
    EXPECT_NE(connectTcp("127.0.0.1", again.port(), 3000, 0, false, &refused), nullptr);
    EXPECT_FALSE(refused);
    EXPECT_NE(accepted.get(), nullptr);
    // A name the resolver refuses by its form alone: an unknown but well-formed name would send a
    // query to the name server, and tests keep to loopback.
    EXPECT_EQ(connectTcp("no-such-host..invalid", 1, 3000), nullptr);
}

// A listener whose queue is full drops new attempts, so a dial can only end at its deadline.
TEST(FramedConn, DialEndsAtItsDeadline) {
    ensureWinsock();
    SocketHandle s = socketOpenTcp(kFamilyV4);
    ASSERT_NE(s, kInvalidSocket);
    ASSERT_TRUE(socketBind(s, kFamilyV4, 0, true));
    ASSERT_TRUE(socketListen(s, 0));
    int port = socketLocalPort(s);
    std::vector<std::shared_ptr<FramedConn>> queued;
    bool full = false;
    for (int i = 0; i < 32 && !full; ++i) {
        auto c = connectTcp("127.0.0.1", port, 300);
        if (c) {
            queued.push_back(c);
        } else {
            full = true;
        }
    }
    if (!full) {
        socketClose(s);
        GTEST_SKIP() << "this system queues every attempt; no way to make a dial hang on loopback";
    }
    bool refused = true;
    int64_t start = nowNanos();
    EXPECT_EQ(connectTcp("127.0.0.1", port, 700, 0, false, &refused), nullptr);
    int64_t elapsed = msSince(start);
    EXPECT_GE(elapsed, 650);
    EXPECT_LT(elapsed, 5000);
    EXPECT_FALSE(refused);
    socketClose(s);
}

TEST(FramedConn, DialFromABoundLocalPort) {
    ListenSocket listener;
    ASSERT_TRUE(listener.open(0, true));
    BackgroundAccept accepted(listener);
    auto first = connectTcp("127.0.0.1", listener.port(), 3000, 0, true);
    ASSERT_TRUE(first);
    int local = first->localPort();
    ASSERT_GT(local, 0);
    auto host = accepted.get();
    ASSERT_TRUE(host);
    EXPECT_EQ(host->peerAddress(), "127.0.0.1:" + std::to_string(local));
}

TEST(SplitHostPort, Table) {
    struct Case {
        std::string text;
        bool ok;
        std::string host;
        int port;
    };
    const std::vector<Case> cases = {
        {"192.168.0.5:47800", true, "192.168.0.5", 47800},
        {"[fe80::1%3]:47800", true, "fe80::1%3", 47800},
        {"fe80::1:47800", true, "fe80::1", 47800},  // the last colon splits
        {"host:1", true, "host", 1},
        {"host:65535", true, "host", 65535},
        {"host:0", false, "host", 0},
        {"host:65536", false, "host", 65536},   // stored although refused
        {"host:99999", false, "host", 99999},
        {"host:", false, "host", 0},
        {"host:abc", false, "host", 0},
        {"[]:5", true, "[]", 5},  // too short to be a bracketed host
        {"host:-1", false, "host", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string host = "unset";
        int port = -7;
        EXPECT_EQ(splitHostPort(c.text, host, port), c.ok);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
    for (const char* bad : {":47800", "hostonly", ""}) {
        std::string host = "unset";
        int port = -7;
        EXPECT_FALSE(splitHostPort(bad, host, port)) << bad;
        EXPECT_EQ(host, "unset");
    }
}

}  // namespace

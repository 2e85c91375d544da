#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/wake.h"
#include "core/crypto/x25519.h"
#include "core/util.h"
#include "host/protocol/messages.h"
#include "support/scripted_host.h"

namespace {

Peer computer(const std::string& name, const std::string& key) {
    Peer p;
    p.name = name;
    p.key = key;
    return p;
}

TEST(WakePlan, TheOtherComputersWithAnotherKeyAreTheSenders) {
    const Peer target = computer("서재 PC", "a2V5LXRhcmdldA==");
    AppConfig config;
    config.hosts = {target};
    WakePlan plan = planWake(config, target);
    EXPECT_TRUE(plan.senders.empty());
    EXPECT_EQ(plan.title, "깨울 수 없습니다");
    EXPECT_EQ(plan.text, "서재 PC 와 같은 망에 켜져 있는 다른 등록 컴퓨터가 있어야 합니다.");

    // The same computer registered twice is still the target; keys differ only byte for byte.
    config.hosts = {computer("거실 Mac", "a2V5LWE="), computer("서재 PC (다시)", target.key), target,
                    computer("노트북", "a2V5LXRhcmdldA"), computer("", "")};
    plan = planWake(config, target);
    ASSERT_EQ(plan.senders.size(), 3u);
    EXPECT_EQ(plan.senders[0].name, "거실 Mac");
    EXPECT_EQ(plan.senders[1].name, "노트북");
    EXPECT_EQ(plan.senders[2].name, "");
    EXPECT_EQ(plan.title, "깨우는 중");
    EXPECT_EQ(plan.text, "서재 PC 에 깨우기 신호를 보낼 컴퓨터를 찾고 있습니다…");
}

struct Attempt {
    std::string sender;
    std::string request;
    std::string message;
};

TEST(WakeWorker, TriesTheSendersInOrderUntilOneTakesTheRequest) {
    const Peer target = computer("서재 PC", "dA==");
    const std::vector<Peer> senders = {computer("꺼진 Mac", "YQ=="), computer("거실 PC", "Yg=="),
                                       computer("노트북", "Yw==")};
    Json wake;
    Json one;
    one.set("mac", "00:11:22:33:44:55");
    one.set("bcast", "192.168.0.255");
    wake.push(one);
    const KeyPair keys = newKeyPair();

    std::vector<Attempt> attempts;
    const WakeErrand errand = [&](const Peer& sender, const KeyPair& k, const Json& request, const Bytes& message) {
        EXPECT_EQ(k.publicKey, keys.publicKey);
        attempts.push_back({sender.name, request.dump(), spanToString(message)});
        return sender.name != "꺼진 Mac";
    };
    EXPECT_EQ(runWake(senders, wake, target, keys, errand),
              "거실 PC 을(를) 통해 서재 PC 에 깨우기 신호를 보냈습니다. 깨어나는 데 10~30초 걸립니다.");
    ASSERT_EQ(attempts.size(), 2u);  // the third is never contacted
    EXPECT_EQ(attempts[0].sender, "꺼진 Mac");
    EXPECT_EQ(attempts[1].sender, "거실 PC");
    for (const Attempt& a : attempts) {
        EXPECT_EQ(a.request,
                  "{\"retina\":false,\"fps\":1,\"display\":0,\"viewW\":0,\"viewH\":0,\"os\":\"windows\","
                  "\"codecs\":[\"h264\"],\"purpose\":\"wake\"}");
        EXPECT_EQ(a.message, "{\"targets\":[{\"mac\":\"00:11:22:33:44:55\",\"bcast\":\"192.168.0.255\"}]}");
    }

    attempts.clear();
    EXPECT_EQ(runWake(senders, wake, target, keys, [&](const Peer& s, const KeyPair&, const Json&, const Bytes&) {
                  attempts.push_back({s.name, "", ""});
                  return false;
              }),
              "켜져 있는 다른 등록 컴퓨터에 연결하지 못했습니다.");
    EXPECT_EQ(attempts.size(), 3u);
}

TEST(WakeReply, TheSendersNoticeOrItsSilenceDecides) {
    struct Case {
        const char* name;
        std::vector<std::string> events;  // a notice text, or "<end>"
        bool taken;
    };
    const Case cases[] = {
        {"sent", {"깨우기 신호를 보냈습니다"}, true},
        {"not sent", {"깨우기 신호를 보내지 못했습니다"}, false},
        {"dropped", {"<end>"}, false},
        {"silence", {}, true},
        {"another notice, then silence", {"원격 PC 에서 화면 가리기를 풀었습니다"}, true},
        {"another notice, then not sent", {"원격 PC 에서 화면 가리기를 풀었습니다", "깨우기 신호를 보내지 못했습니다"}, false},
        {"sent, then the end", {"깨우기 신호를 보냈습니다", "<end>"}, true},
        {"the end, then a late notice", {"<end>", "깨우기 신호를 보냈습니다"}, false},
    };
    for (const Case& c : cases) {
        WakeReply reply;
        for (const std::string& e : c.events) e == "<end>" ? reply.ended() : reply.notice(e);
        EXPECT_EQ(reply.wait(20), c.taken) << c.name;
    }
}

TEST(WakeReply, AnAnswerFromAnotherThreadEndsTheWait) {
    for (bool sent : {false, true}) {
        WakeReply reply;
        std::thread sender([&] {
            sleepMs(20);
            reply.notice(sent ? WakeReply::kSent : WakeReply::kNotSent);
        });
        EXPECT_EQ(reply.wait(60000), sent);  // silence would have said true
        sender.join();
        WakeReply dropped;
        std::thread session([&] {
            sleepMs(20);
            dropped.ended();
        });
        EXPECT_FALSE(dropped.wait(60000));
        session.join();
    }
}

// A sender that answers the first wake request with `notice`, from a thread of its own; empty
// says nothing.
class AnsweringHost {
public:
    AnsweringHost(const std::string& name, std::string notice) : host(name) {
        started = host.start();
        if (notice.empty()) return;
        answer_ = std::thread([this, notice] {
            if (host.waitFor(MsgType::WakeRequest, 1, 15000)) host.send(MsgType::Notice, notice);
        });
    }
    ~AnsweringHost() {
        if (answer_.joinable()) answer_.join();
    }
    ScriptedHost host;
    bool started = false;

private:
    std::thread answer_;
};

// A computer that is off: its address was a listener a moment ago.
Peer switchedOff(const std::string& name) {
    ScriptedHost gone(name);
    EXPECT_TRUE(gone.start());
    return gone.peer();
}

Json sampleWake() {
    Json wake;
    Json one;
    one.set("mac", "00:11:22:33:44:55");
    one.set("bcast", "192.168.0.255");
    wake.push(one);
    return wake;
}

TEST(WakeSessionErrand, TheSendersAnswerOrTheSessionsEndDecides) {
    const Json wake = sampleWake();
    const Bytes message = encodeWakeRequest(wake);
    const KeyPair keys = newKeyPair();
    struct Case {
        const char* name;
        std::string notice;
        ScriptedHost::After after;
        int waitMs;
        bool taken;
    };
    const Case cases[] = {
        {"sent", WakeReply::kSent, ScriptedHost::After::Serve, 20000, true},  // does not wait it out
        {"not sent", WakeReply::kNotSent, ScriptedHost::After::Serve, 20000, false},
        {"silent: an older sender", "", ScriptedHost::After::Serve, 300, true},
        {"dropped after the handshake", "", ScriptedHost::After::Drop, 20000, false},
    };
    for (const Case& c : cases) {
        AnsweringHost sender("거실 PC", c.notice);
        ASSERT_TRUE(sender.started);
        sender.host.after = c.after;
        WakeTiming timing;
        timing.replyWaitMs = c.waitMs;
        const int64_t start = nowNanos();
        EXPECT_EQ(sessionWakeErrand(timing)(sender.host.peer(), keys, wakeSessionRequest(), message), c.taken) << c.name;
        EXPECT_LT(nowNanos() - start, int64_t(10'000'000'000)) << c.name;
        EXPECT_EQ(sender.host.handshakes(), 1) << c.name;
        if (c.after == ScriptedHost::After::Drop) continue;
        ASSERT_TRUE(sender.host.waitFor(MsgType::WakeRequest)) << c.name;
        const std::vector<ChannelMessage> got = sender.host.received();
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[0].type, uint8_t(MsgType::SessionRequest));
        EXPECT_EQ(spanToString(got[0].payload),
                  "{\"retina\":false,\"fps\":1,\"display\":0,\"viewW\":0,\"viewH\":0,\"os\":\"windows\","
                  "\"codecs\":[\"h264\"],\"purpose\":\"wake\"}");
        EXPECT_EQ(sender.host.received(MsgType::WakeRequest), std::vector<Bytes>{message}) << c.name;
        EXPECT_TRUE(sender.host.waitEnded()) << c.name;  // the errand closed its session
    }
    WakeTiming timing;
    timing.replyWaitMs = 300;
    EXPECT_FALSE(sessionWakeErrand(timing)(switchedOff("꺼진 Mac"), keys, wakeSessionRequest(), message));
}

TEST(WakeSessionErrand, AnOffAndARefusingSenderAreSkippedAndTheOneAfterIsNamed) {
    AnsweringHost refusing("거실 PC", WakeReply::kNotSent);
    AnsweringHost taking("서재 노트북", WakeReply::kSent);
    AnsweringHost untouched("작업실 PC", "");
    ASSERT_TRUE(refusing.started && taking.started && untouched.started);
    Peer target;
    target.name = "서재 PC";
    target.wake = sampleWake();
    const std::vector<Peer> senders = {switchedOff("꺼진 Mac"), refusing.host.peer(), taking.host.peer(),
                                       untouched.host.peer()};
    EXPECT_EQ(runWake(senders, target.wake, target, newKeyPair(), sessionWakeErrand()),
              "서재 노트북 을(를) 통해 서재 PC 에 깨우기 신호를 보냈습니다. 깨어나는 데 10~30초 걸립니다.");
    EXPECT_EQ(refusing.host.received(MsgType::WakeRequest).size(), 1u);
    EXPECT_EQ(taking.host.received(MsgType::WakeRequest), std::vector<Bytes>{encodeWakeRequest(target.wake)});
    EXPECT_EQ(untouched.host.handshakes(), 0);
}

}  // namespace

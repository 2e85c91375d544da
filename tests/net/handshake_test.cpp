#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/crypto/aead.h"
#include "core/wire.h"
#include "net/handshake.h"
#include "support/loopback.h"
#include "support/proto_error.h"

namespace {

using namespace std::chrono_literals;

// Consecutive byte values from a start value: the fixed random stream of the transcript test.
RandomSource fixedStream(uint8_t start) {
    auto next = std::make_shared<uint8_t>(start);
    return [next](uint8_t* buf, size_t length) {
        for (size_t i = 0; i < length; ++i) buf[i] = (*next)++;
    };
}

const KeyPair kClientDevice = keyPairFromSecret(Bytes(32, 0x11));
const KeyPair kHostDevice = keyPairFromSecret(Bytes(32, 0x22));
const std::string kPassword = "비밀번호 1234";
const Bytes kClientId = [] {
    std::string s = "{\"name\":\"뷰어\",\"os\":\"windows\"}";
    return Bytes(s.begin(), s.end());
}();
const Bytes kHostId = [] {
    std::string s = "{\"name\":\"호스트\",\"os\":\"windows\"}";
    return Bytes(s.begin(), s.end());
}();

Bytes hex(const char* text) { return hexDecode(text); }

// Sits between two connections and passes frames on, noting the size of each per direction.
class FrameTap {
public:
    std::shared_ptr<FramedConn> client, host;  // the ends the two parties use

    FrameTap() : a_(makeLoopbackPair()), b_(makeLoopbackPair()) {
        if (!a_.host || !b_.client) return;
        client = a_.client;
        host = b_.host;
        up_ = std::thread([this] { pump(a_.host, b_.client, up); });
        down_ = std::thread([this] { pump(b_.client, a_.host, down); });
    }
    ~FrameTap() {
        for (auto* c : {&a_.client, &a_.host, &b_.client, &b_.host})
            if (*c) (*c)->shutdown();
        if (up_.joinable()) up_.join();
        if (down_.joinable()) down_.join();
    }
    std::vector<size_t> sizes(const std::vector<size_t>& direction) {
        std::lock_guard<std::mutex> lock(mutex_);
        return direction;
    }
    std::vector<size_t> up, down;  // frame sizes client to host, host to client

private:
    void pump(std::shared_ptr<FramedConn> from, std::shared_ptr<FramedConn> to, std::vector<size_t>& sizes) {
        try {
            for (;;) {
                Bytes f = from->readFrame(1 << 20, -1);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    sizes.push_back(f.size());
                }
                if (!to->sendFrame(f)) break;
            }
        } catch (const ProtoError&) {
        }
        to->shutdown();
    }
    LoopbackPair a_, b_;
    std::mutex mutex_;
    std::thread up_, down_;
};

// The transcript of both exchanges for the keys, password, identities and random streams
// above (client stream from 0x40, host stream from 0x90), with the first session message
// each way (type 1 "hi" from the client, type 2 "yo" from the host). Computed independently
// by tests/support/handshake_transcript.py (python3-cryptography for X25519, ChaCha20-Poly1305
// and HKDF, Elligator2 in plain big-integer arithmetic). A peer built elsewhere must produce
// exactly these bytes.
namespace golden {
const char* const passwordHello =
    "4f44505701404142434445464748494a4b4c4d4e4f60be218c54e22023c3809febee654ea19a741dd5116884fa5136c4580eabc45c";
const char* const passwordReply =
    "da50d7d396e18602fb30c26138c9a7504b57d2c68626210cc29302e42be9450f518d3388debe76b99c99048f04da60c92019750bb4c7"
    "826d879d666c01250b47ab5b00549fd192f19b6fe8082e4bec8974c8a754669fc6ca404669c0cffede63c75988445113a30d00700dfa"
    "165bd68b6017d7";
const char* const passwordConfirmation =
    "b432f32f9b49ad5357ad871d938f190d89d9f9a9e036730b1c0d0e81adf0d1ca5c4706751cc6ffe5241c01f982c49ebf8b22d4258907"
    "6e0543e23413e09538457802c4bd40e7b4673b563951cf74c4e8";
const char* const passwordClientMessage = "38817c8a93c9a503ed9f7eefb3d225af714d2f";
const char* const passwordHostMessage = "454b8f100552040f9c238991537c89391e8954";
const char* const pairedHello =
    "79a631eede1bf9c98f12032cdeadd0e7a079398fc786b88cc846ec89af85a51a16555aba7d84eea5d616c38086ac0aeb413e0001f875"
    "93409508ee180ec31f635dbf6646a1227c99edc51a3e15f4b0e3a11736bf70dea7c2e98dac42c85946e8ffe84a4d216f9163d57621c1"
    "d0895e70";
const char* const pairedReply =
    "9fd7ad6dcff4298dd3f96d5b1b2af910a0535b1488d7f8fabb349a982880b61567fa893eaec77b26841f104e49f8dc840f8d0e97acf4"
    "9c5d2257e933e5fe66acdfde24d95bf9d0442b8093ce855990eab10581";
const char* const pairedClientMessage = "1e313299c94c237abc0b5cce1f1c9aa74cea30";
const char* const pairedHostMessage = "14abd95458979ce18797e54e1fb1d633b820cb";
}  // namespace golden

// Each side runs against a scripted peer that checks every frame it receives and answers
// with the pinned frames of the other side.
TEST(HandshakeTranscript, PasswordClient) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto peer = std::async(std::launch::async, [&] {
        EXPECT_EQ(hexEncode(p.host->readFrame(65536, 5000)), golden::passwordHello);
        p.host->sendFrame(hex(golden::passwordReply));
        EXPECT_EQ(hexEncode(p.host->readFrame(65536, 5000)), golden::passwordConfirmation);
        EXPECT_EQ(hexEncode(p.host->readFrame(65536, 5000)), golden::passwordClientMessage);
        p.host->sendFrame(hex(golden::passwordHostMessage));
    });
    Bytes hostKey, hostId;
    auto ch = clientPasswordHandshake(p.client, kClientDevice, kPassword, kClientId, hostKey, hostId, fixedStream(0x40));
    EXPECT_EQ(hostKey, kHostDevice.publicKey);
    EXPECT_EQ(hostId, kHostId);
    ASSERT_TRUE(ch->send(1, asBytes("hi")));
    ChannelMessage m = ch->receive(5000);
    EXPECT_EQ(m.type, 2);
    EXPECT_EQ(spanToString(m.payload), "yo");
    peer.get();
}

TEST(HandshakeTranscript, PasswordHost) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto peer = std::async(std::launch::async, [&] {
        p.client->sendFrame(hex(golden::passwordHello));
        EXPECT_EQ(hexEncode(p.client->readFrame(65536, 5000)), golden::passwordReply);
        p.client->sendFrame(hex(golden::passwordConfirmation));
        p.client->sendFrame(hex(golden::passwordClientMessage));
        EXPECT_EQ(hexEncode(p.client->readFrame(65536, 5000)), golden::passwordHostMessage);
    });
    Bytes first = p.host->readFrame(65536, 5000);
    ASSERT_TRUE(isPasswordHello(first));
    Bytes clientKey, clientId;
    auto ch = hostPasswordHandshake(p.host, first, kHostDevice, kPassword, kHostId, clientKey, clientId,
                                    fixedStream(0x90));
    EXPECT_EQ(clientKey, kClientDevice.publicKey);
    EXPECT_EQ(clientId, kClientId);
    ChannelMessage m = ch->receive(5000);
    EXPECT_EQ(m.type, 1);
    EXPECT_EQ(spanToString(m.payload), "hi");
    ASSERT_TRUE(ch->send(2, asBytes("yo")));
    peer.get();
}

TEST(HandshakeTranscript, PairedClient) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto peer = std::async(std::launch::async, [&] {
        EXPECT_EQ(hexEncode(p.host->readFrame(65536, 5000)), golden::pairedHello);
        p.host->sendFrame(hex(golden::pairedReply));
        EXPECT_EQ(hexEncode(p.host->readFrame(65536, 5000)), golden::pairedClientMessage);
        p.host->sendFrame(hex(golden::pairedHostMessage));
    });
    Bytes hostId;
    auto ch = clientPairedHandshake(p.client, kClientDevice, kHostDevice.publicKey, kClientId, hostId,
                                    fixedStream(0x40));
    EXPECT_EQ(hostId, kHostId);
    ASSERT_TRUE(ch->send(1, asBytes("hi")));
    ChannelMessage m = ch->receive(5000);  // sealed at counter 1: the reply used counter 0
    EXPECT_EQ(m.type, 2);
    EXPECT_EQ(spanToString(m.payload), "yo");
    peer.get();
}

TEST(HandshakeTranscript, PairedHost) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto peer = std::async(std::launch::async, [&] {
        p.client->sendFrame(hex(golden::pairedHello));
        EXPECT_EQ(hexEncode(p.client->readFrame(65536, 5000)), golden::pairedReply);
        p.client->sendFrame(hex(golden::pairedClientMessage));
        EXPECT_EQ(hexEncode(p.client->readFrame(65536, 5000)), golden::pairedHostMessage);
    });
    Bytes judgedKey, judgedId, clientKey;
    auto judge = [&](const Bytes& key, const Bytes& id) {
        judgedKey = key;
        judgedId = id;
        return kHostId;
    };
    auto ch = hostPairedHandshakeRead(p.host, kHostDevice, judge, clientKey, fixedStream(0x90));
    EXPECT_EQ(judgedKey, kClientDevice.publicKey);
    EXPECT_EQ(judgedId, kClientId);
    EXPECT_EQ(clientKey, kClientDevice.publicKey);
    ChannelMessage m = ch->receive(5000);
    EXPECT_EQ(m.type, 1);
    EXPECT_EQ(spanToString(m.payload), "hi");
    ASSERT_TRUE(ch->send(2, asBytes("yo")));
    peer.get();
}

// ---- both sides for real, over loopback ----

// What the host side of a test does with the connection; it runs on its own thread and
// shuts the connection down when it fails, as the host's admission does.
struct HostOutcome {
    std::string error;  // ProtoError text, "" on success
    std::shared_ptr<SecureChannel> channel;
    Bytes clientKey, clientId;
};

std::future<HostOutcome> runHost(std::shared_ptr<FramedConn> conn, const KeyPair& device,
                                 std::optional<std::string> password, PairedJudge judge) {
    return std::async(std::launch::async, [conn, device, password, judge] {
        HostOutcome out;
        out.error = protoErrorOf([&] {
            Bytes first = conn->readFrame(kMaxHandshakeFrame, kHandshakeTimeoutMs);
            if (isPasswordHello(first)) {
                if (!password) {
                    conn->shutdown();  // this host takes no password logins
                    return;
                }
                out.channel =
                    hostPasswordHandshake(conn, first, device, *password, kHostId, out.clientKey, out.clientId);
            } else {
                out.channel = hostPairedHandshake(conn, first, device, judge, out.clientKey);
            }
        });
        if (!out.error.empty()) conn->shutdown();
        return out;
    });
}

Bytes acceptKnownClient(const Bytes& key, const Bytes&) {
    if (key != kClientDevice.publicKey) throw ProtoError("허용되지 않은 기기");
    return kHostId;
}

void exchangeMessages(SecureChannel& client, SecureChannel& host) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.send(uint8_t(10 + i), Bytes(size_t(i * 100), uint8_t(i))));
        ASSERT_TRUE(host.send(uint8_t(20 + i), Bytes(size_t(i * 50), uint8_t(i))));
    }
    for (int i = 0; i < 3; ++i) {
        ChannelMessage h = host.receive(5000), c = client.receive(5000);
        EXPECT_EQ(h.type, 10 + i);
        EXPECT_EQ(h.payload, Bytes(size_t(i * 100), uint8_t(i)));
        EXPECT_EQ(c.type, 20 + i);
        EXPECT_EQ(c.payload, Bytes(size_t(i * 50), uint8_t(i)));
    }
}

TEST(PasswordHandshake, SucceedsWithTheRightPassword) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    KeyPair client = newKeyPair(), host = newKeyPair();
    auto hostSide = runHost(p.host, host, kPassword, acceptKnownClient);
    Bytes hostKey, hostId;
    auto ch = clientPasswordHandshake(p.client, client, kPassword, kClientId, hostKey, hostId);
    HostOutcome h = hostSide.get();
    ASSERT_EQ(h.error, "");
    EXPECT_EQ(hostKey, host.publicKey);
    EXPECT_EQ(hostId, kHostId);
    EXPECT_EQ(h.clientKey, client.publicKey);
    EXPECT_EQ(h.clientId, kClientId);
    exchangeMessages(*ch, *h.channel);
}

TEST(PasswordHandshake, WrongPasswordIsBadPasswordOnTheViewer) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto hostSide = runHost(p.host, kHostDevice, kPassword, acceptKnownClient);
    Bytes hostKey, hostId;
    EXPECT_THROW(clientPasswordHandshake(p.client, kClientDevice, "비밀번호 1235", kClientId, hostKey, hostId),
                 BadPassword);
    EXPECT_TRUE(p.client->isClosed());
    // The viewer hangs up without confirming, so the host sees a closed connection.
    EXPECT_EQ(hostSide.get().error, "연결이 닫혔습니다");
}

TEST(PasswordHandshake, HostWithoutPasswordLoginIsRefused) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto hostSide = runHost(p.host, kHostDevice, std::nullopt, acceptKnownClient);
    Bytes hostKey, hostId;
    try {
        clientPasswordHandshake(p.client, kClientDevice, kPassword, kClientId, hostKey, hostId);
        ADD_FAILURE() << "no exception";
    } catch (const PasswordRefused& e) {
        EXPECT_STREQ(e.what(), "원격 컴퓨터가 비밀번호 접속을 받지 않습니다");
    }
    hostSide.get();
}

TEST(PasswordHandshake, ConfirmationThatDoesNotOpenIsBadPasswordOnTheHost) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto hostSide = std::async(std::launch::async, [&] {
        Bytes key, id;
        Bytes first = p.host->readFrame(65536, 5000);
        hostPasswordHandshake(p.host, first, kHostDevice, kPassword, kHostId, key, id);
    });
    // A client that knows nothing: a well-formed hello, then 48 bytes of noise.
    Bytes hello = hex(golden::passwordHello);
    ASSERT_TRUE(p.client->sendFrame(hello));
    EXPECT_GE(p.client->readFrame(65536, 5000).size(), 80u);
    ASSERT_TRUE(p.client->sendFrame(Bytes(48, 0x77)));
    EXPECT_THROW(hostSide.get(), BadPassword);
}

TEST(PasswordHandshake, HelloShapes) {
    Bytes good = hex(golden::passwordHello);
    EXPECT_TRUE(isPasswordHello(good));
    struct Case {
        const char* name;
        Bytes frame;
    };
    Bytes letter = good, version = good, longer = good, shorter(good.begin(), good.end() - 1);
    letter[3] = 'X';
    version[4] = 0x02;
    longer.push_back(0);
    for (const Case& c : {Case{"fourth letter", letter}, Case{"version", version}, Case{"54 bytes", longer},
                          Case{"52 bytes", shorter}, Case{"empty", Bytes{}}}) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(isPasswordHello(c.frame));
        auto p = makeLoopbackPair();
        ASSERT_TRUE(p.client && p.host);
        Bytes key, id;
        EXPECT_EQ(protoErrorOf([&] {
                      hostPasswordHandshake(p.host, c.frame, kHostDevice, kPassword, kHostId, key, id);
                  }),
                  "비밀번호 인사 아님");
        EXPECT_FALSE(p.client->waitReadable(0));  // nothing was sent
    }
}

TEST(PasswordHandshake, EmptyIdentitiesGiveTheShortestRecords) {
    FrameTap tap;
    ASSERT_TRUE(tap.client && tap.host);
    auto hostSide = std::async(std::launch::async, [&] {
        Bytes key, id = {1};
        Bytes first = tap.host->readFrame(65536, 5000);
        auto ch = hostPasswordHandshake(tap.host, first, kHostDevice, kPassword, Bytes{}, key, id);
        EXPECT_TRUE(id.empty());
        return ch;
    });
    Bytes hostKey, hostId = {1};
    auto ch = clientPasswordHandshake(tap.client, kClientDevice, kPassword, Bytes{}, hostKey, hostId);
    EXPECT_TRUE(hostId.empty());
    auto hc = hostSide.get();
    ASSERT_TRUE(ch && hc);
    exchangeMessages(*ch, *hc);
    auto up = tap.sizes(tap.up), down = tap.sizes(tap.down);
    ASSERT_GE(up.size(), 2u);
    ASSERT_GE(down.size(), 1u);
    EXPECT_EQ(up[0], 53u);
    EXPECT_EQ(down[0], 80u);  // element, host key, tag
    EXPECT_EQ(up[1], 48u);    // client key, tag
}

TEST(PasswordHandshake, ShortReplyAndLowOrderElement) {
    // A reply under 80 bytes.
    {
        auto p = makeLoopbackPair();
        ASSERT_TRUE(p.client && p.host);
        auto peer = std::async(std::launch::async, [&] {
            p.host->readFrame(65536, 5000);
            p.host->sendFrame(Bytes(79, 9));
        });
        Bytes k, id;
        EXPECT_EQ(protoErrorOf([&] { clientPasswordHandshake(p.client, kClientDevice, kPassword, {}, k, id); }),
                  "짧은 응답");
        peer.get();
    }
    // A hello whose element is the zero point makes an all-zero secret.
    {
        auto p = makeLoopbackPair();
        ASSERT_TRUE(p.client && p.host);
        Bytes hello = hex(golden::passwordHello);
        std::fill(hello.begin() + 21, hello.end(), 0);
        Bytes k, id;
        EXPECT_EQ(protoErrorOf([&] { hostPasswordHandshake(p.host, hello, kHostDevice, kPassword, {}, k, id); }),
                  "잘못된 키");
    }
}

TEST(PairedHandshake, SucceedsAndCountersLineUp) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    KeyPair client = newKeyPair(), host = newKeyPair();
    auto judge = [&](const Bytes& key, const Bytes& id) {
        EXPECT_EQ(key, client.publicKey);
        EXPECT_EQ(id, kClientId);
        return kHostId;
    };
    auto hostSide = runHost(p.host, host, std::nullopt, judge);
    Bytes hostId;
    auto ch = clientPairedHandshake(p.client, client, host.publicKey, kClientId, hostId);
    HostOutcome h = hostSide.get();
    ASSERT_EQ(h.error, "");
    EXPECT_EQ(hostId, kHostId);
    EXPECT_EQ(h.clientKey, client.publicKey);
    exchangeMessages(*ch, *h.channel);
}

TEST(PairedHandshake, UnknownDeviceIsRefusedBeforeAnythingIsSent) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    KeyPair stranger = newKeyPair();
    auto hostSide = runHost(p.host, kHostDevice, std::nullopt, acceptKnownClient);
    Bytes hostId;
    EXPECT_EQ(protoErrorOf([&] {
                  clientPairedHandshake(p.client, stranger, kHostDevice.publicKey, kClientId, hostId);
              }),
              "연결이 닫혔습니다");
    EXPECT_EQ(hostSide.get().error, "허용되지 않은 기기");
}

TEST(PairedHandshake, OutdatedHostKeyFailsToOpen) {
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto hostSide = runHost(p.host, kHostDevice, std::nullopt, acceptKnownClient);
    Bytes hostId;
    KeyPair oldHostKey = newKeyPair();
    EXPECT_EQ(protoErrorOf([&] {
                  clientPairedHandshake(p.client, kClientDevice, oldHostKey.publicKey, kClientId, hostId);
              }),
              "연결이 닫혔습니다");
    EXPECT_EQ(hostSide.get().error, "복호 실패");
}

TEST(PairedHandshake, RecordSizes) {
    // A hello of exactly 80 bytes (empty identity) is taken, and so is a reply of 48 bytes.
    {
        FrameTap tap;
        ASSERT_TRUE(tap.client && tap.host);
        auto peer = std::async(std::launch::async, [&] {
            Bytes hello = tap.host->readFrame(65536, 5000);
            EXPECT_EQ(hello.size(), 80u);
            Bytes key;
            auto ch = hostPairedHandshake(tap.host, hello, kHostDevice,
                                          [](const Bytes&, const Bytes& id) {
                                              EXPECT_TRUE(id.empty());
                                              return Bytes{};  // reply of exactly 48 bytes
                                          },
                                          key);
            return ch;
        });
        Bytes hostId = {1};
        auto ch = clientPairedHandshake(tap.client, kClientDevice, kHostDevice.publicKey, Bytes{}, hostId);
        EXPECT_TRUE(hostId.empty());
        auto hc = peer.get();
        ASSERT_TRUE(ch && hc);
        exchangeMessages(*ch, *hc);
        auto down = tap.sizes(tap.down);
        ASSERT_GE(down.size(), 1u);
        EXPECT_EQ(down[0], 48u);
    }
    // 79 bytes fail before any decryption, and the judge never hears of it.
    {
        auto p = makeLoopbackPair();
        ASSERT_TRUE(p.client && p.host);
        Bytes key;
        bool judged = false;
        EXPECT_EQ(protoErrorOf([&] {
                      hostPairedHandshake(p.host, Bytes(79, 1), kHostDevice,
                                          [&](const Bytes&, const Bytes&) {
                                              judged = true;
                                              return Bytes{};
                                          },
                                          key);
                  }),
                  "짧은 인사");
        EXPECT_FALSE(judged);
    }
    // A reply under 48 bytes.
    {
        auto p = makeLoopbackPair();
        ASSERT_TRUE(p.client && p.host);
        auto peer = std::async(std::launch::async, [&] {
            p.host->readFrame(65536, 5000);
            p.host->sendFrame(Bytes(47, 3));
        });
        Bytes id;
        EXPECT_EQ(protoErrorOf([&] {
                      clientPairedHandshake(p.client, kClientDevice, kHostDevice.publicKey, {}, id);
                  }),
                  "짧은 응답");
        peer.get();
    }
}

TEST(PairedHandshake, ReplyTimeOutAndClose) {
    // A host that never answers: the viewer's reply read ends with the frame error.
    auto p = makeLoopbackPair();
    ASSERT_TRUE(p.client && p.host);
    auto closer = std::async(std::launch::async, [&] {
        p.host->readFrame(65536, 5000);
        std::this_thread::sleep_for(100ms);
        p.host->shutdown();
    });
    Bytes id;
    EXPECT_EQ(protoErrorOf([&] { clientPairedHandshake(p.client, kClientDevice, kHostDevice.publicKey, {}, id); }),
              "연결이 닫혔습니다");
    closer.get();
}

}  // namespace

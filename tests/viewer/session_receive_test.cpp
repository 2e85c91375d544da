// The viewer session's receive loop, its senders, the receive permit, the clipboard listener and
// the two ways a session ends, against a scripted host over loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "core/wire.h"
#include "files/browse.h"
#include "files/expand.h"
#include "files/transfer_messages.h"
#include "media/stream.h"
#include "support/file_transfer.h"
#include "support/log_capture.h"
#include "support/payload_cases.h"
#include "support/loopback.h"
#include "support/session_rig.h"

namespace {

using Events = std::vector<std::string>;

// One message from the host and what the session reports for it.
struct MessageCase {
    const char* name;
    MsgType type;
    Bytes payload;
    Events expected;
};

// A host and a session connected to it.
struct Connected {
    ScriptedHost host;
    SessionRig rig;
    explicit Connected(bool clipboardSync = true, ScriptedHost::After after = ScriptedHost::After::Serve) {
        host.after = after;
        EXPECT_TRUE(host.start());
        rig.make(host.peer());
        rig.session->clipboardSync = clipboardSync;
        rig.session->connect(Json(), nullptr);
    }
    ClientSession& session() { return *rig.session; }
    // What the session reported for one message: the host sends it, then a notice as a marker.
    Events eventsOf(MsgType type, const Bytes& payload) {
        static int marker = 0;
        const std::string mark = "표시" + std::to_string(++marker);
        const size_t before = rig.events.all().size();
        EXPECT_TRUE(host.send(type, payload));
        EXPECT_TRUE(host.send(MsgType::Notice, mark));
        EXPECT_TRUE(rig.events.waitFor("notice:" + mark));
        Events all = rig.events.all();
        Events out(all.begin() + long(before), all.end());
        EXPECT_EQ(out.back(), "notice:" + mark);
        out.pop_back();
        return out;
    }
};

Bytes textBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(SessionReceive, EachMessageReachesItsCallback) {
    Connected c;
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    const std::string longChat(8001, 'a');
    const std::vector<MessageCase> cases = {
        {"display info", MsgType::DisplayInfo, textBytes(R"({"name":"서재","width":1920})"),
         {R"(display:{"name":"서재","width":1920})"}},
        {"display info that does not parse", MsgType::DisplayInfo, textBytes("{"), {}},
        {"app list", MsgType::AppList, textBytes(R"({"apps":[]})"), {R"(apps:{"apps":[]})"}},
        {"app list that does not parse", MsgType::AppList, textBytes("[1,"), {}},
        {"cursor", MsgType::Cursor, Bytes(20, 1), {"cursor:20"}},
        {"notice", MsgType::Notice, textBytes("원격 화면이 꺼졌습니다"), {"notice:원격 화면이 꺼졌습니다"}},
        {"locked", MsgType::Status, textBytes(R"({"locked":true})"), {"locked:1"}},
        {"curtain not a boolean", MsgType::Status, textBytes(R"({"curtain":1})"), {"curtain:0"}},
        {"both", MsgType::Status, textBytes(R"({"locked":false,"curtain":true})"), {"locked:0", "curtain:1"}},
        {"status that does not parse", MsgType::Status, textBytes("locked"), {}},
        {"chat cut to 8000 bytes", MsgType::Chat, textBytes(longChat), {"chat:" + longChat.substr(0, 8000)}},
        {"folder listing", MsgType::FolderListing, textBytes(R"({"path":"C:\\"})"), {R"(listing:{"path":"C:\\"})"}},
        {"folder listing that does not parse", MsgType::FolderListing, textBytes("{\"path\":"), {}},
        {"caret", MsgType::Caret, textBytes(R"({"edit":false})"), {}},
        {"unknown type", MsgType(200), Bytes{1, 2, 3}, {}},
        {"refusal of a request, empty reason", MsgType::FileRefused, idPayload(0), {"result:"}},
        {"refusal of a request", MsgType::FileRefused, idPayload(0, std::string(kNoCopiedFiles)),
         {std::string("result:") + kNoCopiedFiles}},
        // Sound and clipboard go to the devices, not to the window.
        {"audio format", MsgType::AudioFormat, textBytes(R"({"codec":"aac","rate":44100,"ch":1})"), {}},
        {"audio format that cannot be read", MsgType::AudioFormat, textBytes(R"({"codec":"aac","ch":3})"), {}},
        {"audio frame", MsgType::AudioFrame, Bytes{0x20, 0x64}, {}},
        {"clipboard", MsgType::Clipboard, Bytes{1, 'h', 'i'}, {}},
    };
    for (const MessageCase& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(c.eventsOf(k.type, k.payload), k.expected);
    }
    // Read on the receive thread: the player gets the format, never the text.
    EXPECT_EQ(c.rig.devices->formats(), std::vector<std::string>{"44100/1"});
    EXPECT_EQ(c.rig.devices->audioFrames(), std::vector<Bytes>{Bytes({0x20, 0x64})});
    EXPECT_EQ(c.rig.devices->applied(), std::vector<Bytes>{Bytes({1, 'h', 'i'})});
    EXPECT_FALSE(c.session().stop.load());
}

// An entry longer than a line of a failure message is shown by its start and its size.
Events brief(const Events& events) {
    Events out;
    for (const std::string& e : events) out.push_back(e.size() <= 80 ? e : e.substr(0, 24) + "… " + std::to_string(e.size()));
    return out;
}

// A folder listing of exactly `bytes` bytes.
std::string listingOf(size_t bytes) {
    const std::string frame = R"({"path":""})";
    return R"({"path":")" + std::string(bytes - frame.size(), 'p') + R"("})";
}

// What the window keeps of a host's texts and values is bounded in bytes: texts are cut between
// UTF-8 sequences as transfer texts are, and a listing larger than any a host makes is not read.
TEST(SessionReceive, PeerTextsAreCutAndOversizedListingsDroppedByBytes) {
    Connected c;
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    // One byte short of the bound, then a three-byte character across it.
    const std::string straddling = std::string(kMaxPeerTextBytes - 1, 'a') + "가나";
    const std::string kept(kMaxPeerTextBytes - 1, 'a');
    const std::string whole(kMaxPeerTextBytes, 'b');
    const std::vector<MessageCase> cases = {
        {"notice across the bound", MsgType::Notice, textBytes(straddling), {"notice:" + kept}},
        {"notice at the bound", MsgType::Notice, textBytes(whole), {"notice:" + whole}},
        {"notice at the message's own limit", MsgType::Notice,
         textBytes(whole + std::string(maxPayload(MsgType::Notice) - whole.size(), 'c')), {"notice:" + whole}},
        {"notice over the message's limit", MsgType::Notice,
         textBytes(whole + std::string(maxPayload(MsgType::Notice) + 1 - whole.size(), 'c')), {}},
        {"refusal reason across the bound", MsgType::FileRefused, idPayload(0, straddling), {"result:" + kept}},
        {"refusal reason at the message's own limit", MsgType::FileRefused,
         idPayload(0, whole + std::string(maxPayload(MsgType::FileRefused) - 4 - whole.size(), 'c')),
         {"result:" + whole}},
        {"listing at the bound", MsgType::FolderListing, textBytes(listingOf(kListingPayloadLimit)),
         {"listing:" + listingOf(kListingPayloadLimit)}},
        {"listing one byte over", MsgType::FolderListing, textBytes(listingOf(kListingPayloadLimit + 1)), {}},
    };
    for (const MessageCase& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(brief(c.eventsOf(k.type, k.payload)), brief(k.expected));
    }
    EXPECT_FALSE(c.session().stop.load());
}

// Its parameter sets would go again in front of every key frame.
TEST(SessionReceive, AStreamHeaderLargerThanAnyHostMakesIsNotTaken) {
    Connected c;
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    auto headerOf = [](uint8_t codec, size_t bytes) {
        StreamHeader h;
        h.codec = codec;
        h.parameterSets = {Bytes(1, 0x67)};
        const size_t frame = StreamHeader::encode(h).size() - 1;
        h.parameterSets = {Bytes(bytes - frame, 0x67)};
        return StreamHeader::encode(h);
    };
    const Bytes atBound = headerOf(StreamHeader::kHevc, kMaxStreamHeaderBytes);
    ASSERT_EQ(atBound.size(), kMaxStreamHeaderBytes);
    c.eventsOf(MsgType::StreamHeader, atBound);
    EXPECT_EQ(c.session().codecName, "HEVC");
    c.eventsOf(MsgType::StreamHeader, headerOf(StreamHeader::kH264, kMaxStreamHeaderBytes + 1));
    EXPECT_EQ(c.session().codecName, "HEVC");
    const Bytes small = headerOf(StreamHeader::kH264, 64);
    c.eventsOf(MsgType::StreamHeader, small);
    EXPECT_EQ(c.session().codecName, "H.264");
    ASSERT_TRUE(c.rig.devices->waitCount("configure", 2));
    std::vector<size_t> configured;
    for (const auto& call : c.rig.devices->calls())
        if (call.what == "configure") configured.push_back(call.data.size());
    EXPECT_EQ(configured, (std::vector<size_t>{kMaxStreamHeaderBytes, 64}));
}

TEST(SessionReceive, ClipboardFromTheHostIsIgnoredWhenSyncIsOff) {
    Connected c(false);
    c.eventsOf(MsgType::Clipboard, Bytes{1, 'h', 'i'});
    EXPECT_TRUE(c.rig.devices->applied().empty());
    EXPECT_EQ(c.rig.devices->listeners(), 0u);
}

TEST(SessionReceive, AnEmptyStreamHeaderKeepsTheCodecNameAndIsStillQueued) {
    Connected c;
    StreamHeader hevc;
    hevc.codec = StreamHeader::kHevc;
    c.eventsOf(MsgType::StreamHeader, StreamHeader::encode(hevc));
    EXPECT_EQ(c.session().codecName, "HEVC");
    c.eventsOf(MsgType::StreamHeader, Bytes());
    EXPECT_EQ(c.session().codecName, "HEVC");
    ASSERT_TRUE(c.rig.devices->waitCount("configure", 2));
    EXPECT_TRUE(c.rig.devices->calls().back().data.empty());
    c.eventsOf(MsgType::StreamHeader, StreamHeader::encode(StreamHeader{}));
    EXPECT_EQ(c.session().codecName, "H.264");
}

TEST(SessionReceive, AShortPongOrRefusalEndsTheSession) {
    const struct {
        MsgType type;
        Bytes payload;
    } cases[] = {{MsgType::Pong, Bytes(7, 1)}, {MsgType::FileRefused, Bytes(3, 0)}};
    for (const auto& k : cases) {
        SCOPED_TRACE(int(k.type));
        Connected c;
        c.host.answerPings = false;
        ASSERT_TRUE(c.host.send(k.type, k.payload));
        ASSERT_TRUE(c.rig.events.waitFor("ended:"));
        EXPECT_EQ(c.rig.events.of("ended:"), Events{"ended:짧은 메시지"});
        EXPECT_TRUE(c.host.waitEnded());
    }
}

TEST(SessionReceive, RoundTripFromTheEcho) {
    Connected c;
    c.host.answerPings = false;
    const uint64_t now = uint64_t(c.rig.clock.now.load());
    struct Case {
        const char* name;
        uint64_t echo;
        double rttMs;  // after this echo
    };
    const Case cases[] = {
        {"5 ms ago", now - 5'000'000, 5.0},
        {"from the future", now + 1'000'000'000, 5.0},
        {"the largest value", UINT64_MAX, 5.0},
        {"now", now, 5.0},
        {"long ago", 0, double(now) / 1e6},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        c.eventsOf(MsgType::Pong, encodePing(k.echo));
        EXPECT_DOUBLE_EQ(c.session().takeStats().rttMs, k.rttMs);
    }
    EXPECT_FALSE(c.session().stop.load());
}

TEST(SessionReceive, PingsCarryTheClockAndTheEchoGivesTheRoundTrip) {
    Connected c;
    c.host.answerPings = false;
    ASSERT_TRUE(c.host.waitFor(MsgType::Ping));
    const Bytes ping = c.host.received(MsgType::Ping)[0];
    EXPECT_EQ(ping, encodePing(uint64_t(c.rig.clock.now.load())));
    c.rig.clock.advanceMs(30);
    c.eventsOf(MsgType::Pong, ping);
    EXPECT_DOUBLE_EQ(c.session().takeStats().rttMs, 30.0);
}

TEST(SessionSenders, KeyFrameRequestsAtMostOncePer500Ms) {
    Connected c;
    const struct {
        int64_t atMs;  // since the first request
        size_t sent;   // requests the host has seen afterwards
    } steps[] = {{0, 1}, {0, 1}, {400, 1}, {600, 2}, {1000, 2}, {1100, 3}};
    const int64_t start = c.rig.clock.now.load();
    int marker = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.atMs);
        c.rig.clock.now = start + s.atMs * 1'000'000;
        c.session().requestKeyFrame();
        // A chat line after it: when it arrives, any request before it has arrived too.
        c.session().sendChat(std::to_string(++marker));
        ASSERT_TRUE(c.host.waitFor(MsgType::Chat, size_t(marker)));
        EXPECT_EQ(c.host.received(MsgType::KeyFrameRequest).size(), s.sent);
    }
}

TEST(SessionSenders, CommandsAndTheirPayloads) {
    Connected c;
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    c.session().sendCombo({55, 12});
    c.session().sendChat(std::string(2001, 'b'));
    c.session().setAudio(true);
    c.session().setAudio(false);
    c.session().requestClipboardFiles();
    ASSERT_TRUE(c.host.waitFor(MsgType::PasteFiles));
    EXPECT_EQ(c.host.received(MsgType::KeyCombo), std::vector<Bytes>{encodeKeyCombo({55, 12})});
    EXPECT_EQ(c.host.received(MsgType::Chat), std::vector<Bytes>{textBytes(std::string(2000, 'b'))});
    EXPECT_EQ(c.host.received(MsgType::AudioSwitch), (std::vector<Bytes>{Bytes{1}, Bytes{0}}));
    EXPECT_EQ(c.host.received(MsgType::PasteFiles), std::vector<Bytes>{Bytes()});
    EXPECT_EQ(c.rig.devices->soundStops(), 1);  // only turning sound off silences the player
}

// Whatever breaks inside a send, the login of a locked screen it carried is wiped before its
// buffer goes. Here the seal throws: the channel's key is one the cipher refuses.
TEST(SessionSenders, ALoginIsWipedWhenItsSendThrows) {
    SessionRig rig;
    std::vector<Bytes> logins;  // as the queue let go of them
    rig.outgoingReleases = [&](const QueuedMessage& m) {
        if (m.type == uint8_t(MsgType::LockLogin)) logins.push_back(m.payload);
    };
    rig.make(Peer());
    LoopbackPair conns = makeLoopbackPair();
    ASSERT_TRUE(conns.client);
    {
        std::lock_guard lock(rig.session->stateMutex);
        rig.session->channel = std::make_shared<SecureChannel>(conns.client, CipherState(Bytes(5, 1)),
                                                               CipherState(Bytes(32, 2)));
    }
    const Bytes login = textBytes("사용자\n암호");
    rig.session->send(MsgType::LockLogin, login);
    rig.session->sendLoop();  // on this thread: it ends at the throw
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0], Bytes(login.size(), 0));
    EXPECT_TRUE(rig.session->outgoing().closed());
}

TEST(SessionFiles, TheReceivePermitLetsInOneBatchPerRequest) {
    enum Kind { Request, Advance, Refuse, Take };
    struct Step {
        Kind kind;
        int64_t value = 0;  // Advance: milliseconds; Take: 1 when a batch is let in
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"no request", {{Take, 0}}},
        {"two batches after one request", {{Request}, {Take, 1}, {Take, 0}}},
        {"just inside the minute", {{Request}, {Advance, 59'999}, {Take, 1}}},
        {"61 s after the request", {{Request}, {Advance, 61'000}, {Take, 0}}},
        {"refused, then a batch", {{Request}, {Refuse}, {Take, 0}}},
        {"a second request moves the deadline", {{Request}, {Advance, 50'000}, {Request}, {Advance, 50'000}, {Take, 1}}},
    };
    Connected c;
    c.host.servePaste = false;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        c.session().receivePermitUntil = 0;
        for (const Step& s : k.steps) {
            switch (s.kind) {
            case Request: c.session().requestClipboardFiles(); break;
            case Advance: c.rig.clock.advanceMs(s.value); break;
            case Refuse: c.eventsOf(MsgType::FileRefused, idPayload(0)); break;
            case Take: EXPECT_EQ(c.session().takeReceivePermit(), s.value == 1); break;
            }
        }
    }
}

TEST(SessionFiles, ADownloadRequestArmsThePermitAndNamesThePaths) {
    Connected c;
    c.host.servePaste = false;
    c.session().requestDownload({"C:\\사진\\a \"b\".jpg", "/home/kim/문서"});
    ASSERT_TRUE(c.host.waitFor(MsgType::SendFiles));
    const std::string expected = "{\"paths\":[\"C:\\\\사진\\\\a \\\"b\\\".jpg\",\"/home/kim/문서\"]}";
    EXPECT_EQ(c.host.received(MsgType::SendFiles), std::vector<Bytes>{textBytes(expected)});
    // The permit lets one batch in within the minute, and only one.
    c.rig.clock.advanceMs(59'000);
    EXPECT_TRUE(c.session().takeReceivePermit());
    EXPECT_FALSE(c.session().takeReceivePermit());
    c.session().requestDownload({"C:\\x"});
    c.rig.clock.advanceMs(61'000);
    EXPECT_FALSE(c.session().takeReceivePermit());
}

// Every row of a full listing of long paths would not fit the request a host reads; the request
// names what the host takes of it.
TEST(SessionFiles, ADownloadOfEveryRowOfAFullListingFitsWhatTheHostReads) {
    Connected c;
    c.host.servePaste = false;
    std::vector<std::string> rows;
    for (size_t i = 0; i < kMaxListingEntries; ++i) rows.push_back("C:\\" + std::string(4000, 'a') + std::to_string(i));
    c.session().requestDownload(rows);
    ASSERT_TRUE(c.host.waitFor(MsgType::SendFiles));
    const Bytes request = c.host.received(MsgType::SendFiles).at(0);
    EXPECT_LE(request.size(), maxPayload(MsgType::SendFiles));
    Json paths;
    ASSERT_TRUE(decodeSendFiles(request, paths));
    ASSERT_EQ(paths.size(), kMaxRequestedPaths);
    EXPECT_EQ(paths.at(0).asString(""), rows[0]);
}

// The folder of an upload is named by the sender right before the upload's first file, never at
// request time (a batch queued ahead would take it); without a folder nothing is named.
TEST(SessionFiles, AnUploadNamesItsFolderRightBeforeItsFirstFile) {
    TempFolder src, landed;
    putFile(src / L"drop.txt", patternBytes(300'000, 1));
    putFile(src / L"up.txt", bytesOf("올림"));
    putFile(src / L"plain.txt", bytesOf("plain"));
    Connected c;
    c.host.filesIn.defaultFolder = [&] { return landed.wide(); };
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    c.session().filesOut.enqueue({src / L"drop.txt"});
    c.session().requestUpload({src / L"up.txt"}, "D:\\받은 곳");
    c.session().requestUpload({src / L"plain.txt"}, "");
    ASSERT_TRUE(c.host.waitUntil([&] { return c.host.received(MsgType::FileEnd).size() == 3; }, 10000));

    std::vector<std::string> order;  // folder messages and file headers as the host read them
    for (const ChannelMessage& m : c.host.received()) {
        if (m.type == kSetDownloadFolder) order.push_back("folder:" + std::string(m.payload.begin(), m.payload.end()));
        if (m.type == kFileBegin) order.push_back("file:" + FileBeginMsg::decode(m.payload).path);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"file:drop.txt", "folder:D:\\받은 곳", "file:up.txt", "file:plain.txt"}));
}

TEST(SessionFiles, ReceivedBatchTexts) {
    const std::wstring sep(1, kPathSeparator);
    const std::wstring folder = sep + L"home" + sep + L"사용자" + sep + L"Downloads";
    struct Case {
        std::wstring path;
        int files;
        unsigned long long bytes;
        std::string text;
    };
    const Case cases[] = {
        {folder + sep + L"report.pdf", 3, 2'500'000,
         "받음: report.pdf 등 파일 3개 (2.5 MB) → " + utf8FromWide(folder)},
        {folder + sep + L"사진.png", 1, 999, "받음: 사진.png (999바이트) → " + utf8FromWide(folder)},
        {L"report.pdf", 1, 1000, "받음: report.pdf (1 KB) → "},
        {L"C:\\Users\\a\\Downloads\\report.pdf", 2, 2'500'000,
         "받음: report.pdf 등 파일 2개 (2.5 MB) → C:\\Users\\a\\Downloads"},
    };
    for (const Case& k : cases) EXPECT_EQ(formatReceivedBatch(k.path, k.files, k.bytes), k.text);
}

TEST(SessionFiles, MessagesAfterTheEndAreDropped) {
    Connected c;
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    c.session().close();
    ASSERT_TRUE(c.host.waitEnded());
    const size_t before = c.host.received().size();
    c.session().filesOut.send(kFileBegin, Bytes(32, 0));
    c.session().filesIn.send(kFileAck, Bytes(12, 0));
    c.session().sendChat("늦은 말");
    EXPECT_EQ(c.host.received().size(), before);
}

// ---- ends ----

TEST(SessionEnd, ACloseIsNeverReportedAndADropIsReportedOnce) {
    {
        SCOPED_TRACE("close, then the host drops");
        Connected c;
        ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
        c.session().close();
        ASSERT_TRUE(c.host.waitFor(MsgType::ReleaseAll));  // the host lets go of held keys first
        c.host.drop();
        c.session().finish("이유");
        std::weak_ptr<ClientSession> weak = c.rig.session;
        c.rig.session.reset();
        ASSERT_TRUE(waitUntil([&] { return weak.expired(); }, 5000));
        EXPECT_TRUE(c.rig.events.of("ended:").empty());
        EXPECT_EQ(c.rig.devices->listeners(), 0u);
    }
    {
        SCOPED_TRACE("the host drops, then a close and a second finish");
        Connected c;
        ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
        c.host.drop();
        ASSERT_TRUE(c.rig.events.waitFor("ended:"));
        c.session().close();
        c.session().finish("두 번째");
        std::weak_ptr<ClientSession> weak = c.rig.session;
        c.rig.session.reset();
        ASSERT_TRUE(waitUntil([&] { return weak.expired(); }, 5000));
        EXPECT_EQ(c.rig.events.of("ended:"), Events{"ended:연결이 닫혔습니다"});
        EXPECT_EQ(c.rig.devices->listeners(), 0u);
        EXPECT_GE(c.rig.devices->soundStops(), 1);
    }
}

TEST(SessionEnd, AQuickEndLeavesNoClipboardListener) {
    // A host that drops the viewer at once ends the session while connect may still be running;
    // the monitor, slow to register, must not keep the listener afterwards.
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ScriptedHost host;
        host.after = ScriptedHost::After::Drop;
        ASSERT_TRUE(host.start());
        SessionRig rig;
        rig.devices->addDelayMs = 100;
        rig.make(host.peer());
        try {
            rig.session->connect(Json(), nullptr);
        } catch (const ProtoError&) {
            // The drop may already be seen by the request.
        }
        ASSERT_TRUE(rig.release());
        EXPECT_EQ(rig.devices->listeners(), 0u);
    }
}

TEST(SessionClipboard, TheListenerReturnsAtOnceWhileTheLinkStalls) {
    Connected c;
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    ASSERT_EQ(c.rig.devices->listeners(), 1u);
    ASSERT_TRUE(c.host.pauseReading());
    // Each larger than what the loopback buffers hold, so the first one's send blocks.
    std::vector<Bytes> payloads;
    for (uint8_t i = 1; i <= 3; ++i) payloads.push_back(Bytes(8u << 20, i));
    auto changes = std::async(std::launch::async, [&] {
        for (const Bytes& p : payloads) c.rig.devices->change(p);
    });
    ASSERT_EQ(changes.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    c.host.resumeReading();
    // The newest arrives last; before it at most the one that was already on its way: whatever
    // came in while that one waited was superseded.
    ASSERT_TRUE(c.host.waitUntil(
        [&] {
            auto got = c.host.received(MsgType::Clipboard);
            return !got.empty() && got.back() == payloads[2];
        },
        20000));
    const auto got = c.host.received(MsgType::Clipboard);
    ASSERT_LE(got.size(), 2u);
    if (got.size() == 2) {
        EXPECT_TRUE(got[0] == payloads[0] || got[0] == payloads[1]);
    }
}

TEST(SessionClipboard, ACloseWakesASenderBlockedOnTheLink) {
    Connected c;
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    ASSERT_TRUE(c.host.pauseReading());
    c.rig.devices->change(Bytes(8u << 20, 9));
    // Taken by the sending thread: more than the link holds, so its write blocks.
    ASSERT_TRUE(waitUntil([&] { return c.session().outgoing().bulkBytes() == 0; }, 5000));
    c.rig.devices->change(Bytes(8u << 20, 8));
    // The window closes while the link is stalled: close must come back (it runs on the UI thread).
    auto closing = std::async(std::launch::async, [&] { c.session().close(); });
    const bool returned = closing.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!returned) c.host.drop();  // lets the stuck close go, so that the test can end
    closing.wait();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(c.rig.release(10000));  // the sender thread leaves too
    EXPECT_EQ(c.rig.devices->listeners(), 0u);
}

TEST(SessionStall, CallersNeverWaitForAHostThatTakesNothingAndTheSessionEndsByItself) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    SessionRig rig;
    rig.sendStallMs = 300;
    ASSERT_TRUE(rig.connect(host));
    ASSERT_TRUE(host.pauseReading());
    // More than the loopback buffers hold, so that the link is full behind it.
    rig.devices->change(Bytes(8u << 20, 7));
    ClientSession& s = *rig.session;
    // What the window does on its thread: pointer, keys, a menu command, the view size. None of
    // it may wait for the link.
    int64_t slowest = 0;
    auto timed = [&](const std::function<void()>& call) {
        const int64_t start = nowNanos();
        call();
        slowest = std::max(slowest, nowNanos() - start);
    };
    for (int i = 0; i < 2000 && !rig.events.waitFor("ended:", 1, 0); ++i) {
        MouseEvent move;
        move.x = float(i % 100) / 100;
        timed([&] { s.send(MsgType::Mouse, move.encode()); });
        if (i % 50 == 0) {
            timed([&] { s.send(MsgType::Key, Bytes(12, uint8_t(i))); });
            timed([&] { s.sendCombo({55, 12}); });
            timed([&] { s.send(MsgType::ViewSize, Bytes(8, 1)); });
        }
    }
    EXPECT_LT(slowest, 250'000'000) << "a call waited for the link";
    ASSERT_TRUE(rig.events.waitFor("ended:", 1, 10000)) << "the stalled session never ended";
    EXPECT_EQ(rig.events.of("ended:"), std::vector<std::string>{std::string("ended:") + kHostStalledText});
    EXPECT_TRUE(s.stop.load());
}

TEST(SessionStall, AnInputFloodTheHostDoesNotTakeEndsTheSession) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    SessionRig rig;
    ASSERT_TRUE(rig.connect(host));  // the stall time stays long: the queue's bound ends it first
    ASSERT_TRUE(host.pauseReading());
    rig.devices->change(Bytes(8u << 20, 7));
    for (int i = 0; i < 100000 && !rig.events.waitFor("ended:", 1, 0); ++i)
        rig.session->send(MsgType::Key, Bytes(12, uint8_t(i)));
    ASSERT_TRUE(rig.events.waitFor("ended:", 1, 10000));
    EXPECT_EQ(rig.events.of("ended:"), std::vector<std::string>{std::string("ended:") + kHostStalledText});
}

TEST(SessionLogText, PeerTextCannotForgeALogLine) {
    struct Case {
        const char* name;
        std::string text;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"plain text stays", "서재 PC (C:\\사용자)", "서재 PC (C:\\사용자)"},
        {"line breaks", "a\n2026-01-01 00:00:00 연결됨: 가짜\r\tb", "a\\n2026-01-01 00:00:00 연결됨: 가짜\\r\\tb"},
        {"other controls", std::string("x\0y\x1b[2J\x7f", 8), "x\\x00y\\x1b[2J\\x7f"},
        {"C1 next line and Unicode separators", "a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9", "a\\u0085b\\u2028c\\u2029"},
    };
    for (const Case& c : cases) EXPECT_EQ(peerTextForLog(c.text), c.logged) << c.name;

    // A long text is cut at a character boundary.
    const std::string hangul = "가";  // three bytes
    std::string longText;
    for (size_t i = 0; i < kLogTextLimit; ++i) longText += hangul;
    const std::string cut = peerTextForLog(longText);
    ASSERT_LE(cut.size(), kLogTextLimit + 3 + std::string("…").size());
    ASSERT_EQ(cut.substr(cut.size() - std::string("…").size()), "…");
    EXPECT_EQ((cut.size() - std::string("…").size()) % hangul.size(), 0u);
}

// Every type the viewer takes, at its limit and one byte over: the first is taken, the second
// dropped with one log line naming type and size (a chat line is cut to its prefix instead), and
// the session goes on.
TEST(SessionReceive, EveryTypeIsTakenUpToItsLimitAndDroppedBeyondIt) {
    LogCapture log;
    Connected c;
    ASSERT_TRUE(c.host.waitFor(MsgType::SessionRequest));
    const std::string dropped = "너무 큰 메시지를 버림";
    int marker = 0;
    // Sends the message and a notice behind it: once the notice is shown, the message was handled.
    // Tens of MiB through the channel take seconds on a slow machine, hence the long bound.
    auto handled = [&](MsgType type, const Bytes& payload) {
        const std::string mark = "표시" + std::to_string(++marker) + "끝";
        return c.host.send(type, payload) && c.host.send(MsgType::Notice, mark) &&
               c.rig.events.waitFor("notice:" + mark, 1, 120000);
    };
    for (const PayloadCase& pc : everyMessageType()) {
        if (!receivedBy(pc, MsgEnd::Viewer)) continue;
        SCOPED_TRACE("type " + std::to_string(int(pc.type)));
        const size_t limit = maxPayload(pc.type);
        const int before = log.count(dropped);
        ASSERT_TRUE(handled(pc.type, payloadOfSize(pc, limit)));
        EXPECT_EQ(log.count(dropped), before);
        ASSERT_TRUE(handled(pc.type, payloadOfSize(pc, limit + 1)));
        EXPECT_EQ(log.count(dropped), before + (pc.prefix ? 0 : 1));
        if (!pc.prefix) {
            EXPECT_TRUE(log.has(dropped + " (종류 " + std::to_string(int(pc.type)) + ", " + std::to_string(limit + 1) +
                                "바이트)"));
        }
    }
}

}  // namespace

// A sender and a receiver at the two ends of a secure channel over loopback, each side with its
// own receive loop, as two sessions run them.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <thread>

#include "core/crypto/aead.h"
#include "net/channel.h"
#include "support/file_transfer.h"
#include "support/loopback.h"

namespace {

using namespace std::chrono_literals;

class ChannelTransfer {
public:
    explicit ChannelTransfer(const std::wstring& dest) : rig(dest) {
        conns_ = makeLoopbackPair();
        if (!conns_.client || !conns_.host) return;
        viewer = std::make_shared<SecureChannel>(conns_.client, CipherState(Bytes(32, 1)), CipherState(Bytes(32, 2)));
        host = std::make_shared<SecureChannel>(conns_.host, CipherState(Bytes(32, 2)), CipherState(Bytes(32, 1)));
        sender = std::make_unique<FileSender>();
        sender->peerName = "상대 PC";
        sender->notify = results.hook();
        sender->send = [ch = viewer](unsigned char type, const Bytes& payload) { ch->send(type, payload); };
        rig.receiver.send = [this](uint8_t type, const Bytes& payload) {
            rig.replies.add(type, payload);
            if (type == kFileAck && muteAcks) return;
            host->send(type, payload);
        };
        // The viewer's loop: the receiver's answers go to the sender.
        viewerLoop_ = std::thread([this] {
            try {
                for (;;) {
                    ChannelMessage m = viewer->receive(-1);
                    std::lock_guard lock(senderMutex_);
                    if (!sender) continue;
                    try {
                        if (m.type == kFileAck) sender->onAck(m.payload);
                        if (m.type == kFileSaved) sender->onSaved(m.payload);
                        if (m.type == kFileRefused) sender->onRefused(m.payload);
                    } catch (const ProtoError&) {
                    }
                }
            } catch (const std::exception&) {
            }
        });
        // The host's loop: transfer messages go to the receiver, unless a test intercepts them.
        hostLoop_ = std::thread([this] {
            try {
                for (;;) {
                    ChannelMessage m = host->receive(-1);
                    received.add(m.type, m.payload);
                    if (intercept && !intercept(m.type, m.payload)) continue;
                    if (m.type >= kFileBegin && m.type <= kFileAbort) rig.receiver.handle(m.type, m.payload);
                }
            } catch (const std::exception&) {
            }
        });
    }
    ~ChannelTransfer() {
        destroySender();
        if (conns_.client) conns_.client->shutdown();
        if (conns_.host) conns_.host->shutdown();
        if (viewerLoop_.joinable()) viewerLoop_.join();
        if (hostLoop_.joinable()) hostLoop_.join();
    }
    bool ok() const { return viewer && host; }
    // As a session does when it ends: returns once the sender's worker has left.
    void destroySender() {
        std::lock_guard lock(senderMutex_);
        sender.reset();
    }
    std::string result(size_t index = 0, int ms = 30000) {
        if (!waitFor([&] { return results.size() > index; }, ms)) return "<no result>";
        return results.all()[index];
    }
    // Sends `file` to a receiver whose acknowledgements never arrive; true once the receiver
    // wrote every chunk the window lets through, so that the sender waits.
    bool sendIntoClosedWindow(const std::wstring& file) {
        muteAcks = true;
        sender->enqueue({file});
        return waitFor([&] { return rig.replies.ofType(kFileAck).size() >= 33; });
    }
    // The receiver was told `reason` by an abort and kept no part file.
    void expectAborted(const std::string& reason, const std::filesystem::path& dest) {
        ASSERT_TRUE(waitFor([&] { return rig.notes.size() == 1; }));
        EXPECT_EQ(rig.notes.all()[0], reason);
        EXPECT_TRUE(treeOf(dest).empty());
    }

    ReceiverRig rig;
    SentLog received;    // what reached the host's loop
    TextLog results;
    std::atomic<bool> muteAcks{false};
    // Runs on the host's loop; false keeps the message from the receiver.
    std::function<bool(uint8_t, const Bytes&)> intercept;
    std::shared_ptr<SecureChannel> viewer, host;
    std::unique_ptr<FileSender> sender;

private:
    std::mutex senderMutex_;  // the viewer's loop never uses a sender being destroyed
    LoopbackPair conns_;
    std::thread viewerLoop_, hostLoop_;
};

TEST(FileTransfer, TreeArrivesByteIdentical) {
    TempFolder src, dest;
    const std::wstring photos = src / L"Photos";
    putFolder(photos);
    putFile(photos + kPathSeparator + L"empty.txt", Bytes{});
    putFolder(photos + kPathSeparator + L"Trip");
    const Bytes exact = patternBytes(131072, 2), big = patternBytes(5 << 20, 3);
    putFile(photos + kPathSeparator + L"Trip" + kPathSeparator + L"exact.bin", exact);
    putFile(photos + kPathSeparator + L"Trip" + kPathSeparator + L"big.bin", big);
    putFile(src / L"사진.txt", bytesOf("한글 이름"));
    ChannelTransfer t(dest.wide());
    ASSERT_TRUE(t.ok());
    t.sender->enqueue({photos});
    const std::string first = t.result();
    EXPECT_TRUE(std::regex_match(first, std::regex("파일 3개 \\(5\\.4 MB, [0-9]+\\.[0-9]초\\) → 상대 PC: (.*)")))
        << first;
    EXPECT_EQ(first.substr(first.size() - 6), "Photos");
    t.sender->enqueue({src / L"사진.txt"});
    EXPECT_NE(t.result(1).find("사진.txt (13바이트, "), std::string::npos);
    const auto tree = treeOf(dest.path());
    EXPECT_EQ(tree.size(), 6u);
    EXPECT_EQ(tree.at("Photos/empty.txt"), "");
    EXPECT_EQ(tree.at("Photos/Trip/exact.bin"), std::string(exact.begin(), exact.end()));
    EXPECT_EQ(tree.at("Photos/Trip/big.bin"), std::string(big.begin(), big.end()));
    EXPECT_EQ(tree.at("사진.txt"), "한글 이름");
    ASSERT_EQ(t.rig.batchReports().size(), 2u);
    EXPECT_EQ(t.rig.batchReports()[0].path, dest / L"Photos");
    EXPECT_EQ(t.rig.batchReports()[0].files, 3);
    EXPECT_EQ(t.rig.batchReports()[0].bytes, 131072u + (5u << 20));
}

TEST(FileTransfer, ClashesGetFreeNames) {
    TempFolder src, dest;
    putFolder(src / L"Photos");
    putFile(src / L"Photos" + kPathSeparator + L"new.jpg", bytesOf("new"));
    putFile(src / L"a.txt", bytesOf("new a"));
    putFolder(dest / L"Photos");
    putFile(dest / L"a.txt", bytesOf("old a"));
    ChannelTransfer t(dest.wide());
    ASSERT_TRUE(t.ok());
    t.sender->enqueue({src / L"Photos", src / L"a.txt"});
    const std::string result = t.result();
    // Two picked items: the line names the folder they went to.
    EXPECT_EQ(result.substr(result.size() - utf8FromWide(dest.wide()).size()), utf8FromWide(dest.wide())) << result;
    EXPECT_EQ(treeOf(dest.path()), (std::map<std::string, std::string>{{"Photos", "<folder>"},
                                                                       {"Photos (2)", "<folder>"},
                                                                       {"Photos (2)/new.jpg", "new"},
                                                                       {"a (2).txt", "new a"},
                                                                       {"a.txt", "old a"}}));
}

TEST(FileTransfer, WithoutPermitNothingIsCreated) {
    TempFolder src, dest;
    putFile(src / L"a.txt", bytesOf("a"));
    ChannelTransfer t(dest.wide());
    ASSERT_TRUE(t.ok());
    t.rig.receiver.acceptNewBatch = [] { return false; };
    t.sender->enqueue({src / L"a.txt"});
    EXPECT_EQ(t.result(), "파일 받기가 꺼져 있습니다");
    EXPECT_TRUE(treeOf(dest.path()).empty());
}

TEST(FileTransfer, AbortOfEverythingFromThePeer) {
    TempFolder src, dest;
    putFile(src / L"big.bin", patternBytes(5 << 20));
    ChannelTransfer t(dest.wide());
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.sendIntoClosedWindow(src / L"big.bin"));
    ASSERT_TRUE(t.viewer->send(kFileAbort, idPayload(0, std::string("세션을 닫습니다"))));
    t.expectAborted("세션을 닫습니다", dest.path());
    t.sender->cancel();
    EXPECT_EQ(t.result(), "보내기를 멈췄습니다");
}

TEST(FileTransfer, SilentReceiverStallsTheBatch) {
    TempFolder src, dest;
    putFile(src / L"big.bin", patternBytes(5 << 20));
    ChannelTransfer t(dest.wide());
    ASSERT_TRUE(t.ok());
    t.sender->stallTimeout = 300ms;
    ASSERT_TRUE(t.sendIntoClosedWindow(src / L"big.bin"));
    EXPECT_EQ(t.result(), "상대 PC이(가) 응답하지 않아 멈췄습니다");
    t.expectAborted("상대 PC이(가) 응답하지 않아 멈췄습니다", dest.path());
}

TEST(FileTransfer, CancelWakesTheWindowWait) {
    TempFolder src, dest;
    putFile(src / L"big.bin", patternBytes(5 << 20));
    ChannelTransfer t(dest.wide());
    ASSERT_TRUE(t.ok());
    t.sender->stallTimeout = 60s;  // far beyond the result's wait: only the cancel can end it
    ASSERT_TRUE(t.sendIntoClosedWindow(src / L"big.bin"));
    t.sender->cancel();
    EXPECT_EQ(t.result(0, 20000), "보내기를 멈췄습니다");
    t.expectAborted("보내기를 멈췄습니다", dest.path());
}

// The receiver's refusal in the middle of a file, after the last FileEnd, or no confirmation at all.
TEST(FileTransfer, RefusalsAndMissingConfirmation) {
    const struct {
        const char* name;
        uint8_t at;            // the message the host answers itself
        const char* refusal;   // nullptr: no answer at all
        const char* result;
    } cases[] = {
        {"mid-file", kFileData, "저장하다 멈췄습니다 (디스크 가득)", "저장하다 멈췄습니다 (디스크 가득)"},
        {"after the end", kFileEnd, "저장하지 못했습니다 (이름)", "저장하지 못했습니다 (이름)"},
        {"empty reason", kFileEnd, "", "상대 PC이(가) 받지 않았습니다"},
        {"no confirmation", kFileEnd, nullptr, "상대 PC이(가) 저장했는지 확인하지 못했습니다"},
    };
    TempFolder src;
    putFile(src / L"f.bin", patternBytes(5 << 20));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dest;
        ChannelTransfer t(dest.wide());
        ASSERT_TRUE(t.ok());
        t.muteAcks = c.at == kFileData;  // the file cannot end before the refusal is seen
        if (!c.refusal) t.sender->confirmTimeout = 200ms;
        std::atomic<bool> answered{false};
        t.intercept = [&](uint8_t type, const Bytes& payload) {
            if (type != c.at || answered.exchange(true)) return true;
            if (c.refusal) t.host->send(kFileRefused, idPayload(loadBe32(payload.data()), std::string(c.refusal)));
            return type == kFileData;  // an end the host answers itself does not reach the receiver
        };
        t.sender->enqueue({src / L"f.bin"});
        EXPECT_EQ(t.result(), c.result);
        if (c.at == kFileData) t.expectAborted(c.result, dest.path());  // the running file
    }
}

TEST(FileTransfer, DestroyingABusySenderWaitsForItsWorker) {
    TempFolder src, dest;
    putFile(src / L"big.bin", patternBytes(5 << 20));
    ChannelTransfer t(dest.wide());
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.sendIntoClosedWindow(src / L"big.bin"));
    t.destroySender();
    // The worker has finished: its line is out, and its abort is the last message it sent.
    EXPECT_EQ(t.results.all(), std::vector<std::string>{"보내기를 멈췄습니다"});
    ASSERT_TRUE(waitFor([&] { return !t.received.ofType(kFileAbort).empty(); }));
    const auto last = t.received.all().back();
    EXPECT_EQ(last.type, kFileAbort);
    EXPECT_EQ(last.text, "보내기를 멈췄습니다");
}

}  // namespace

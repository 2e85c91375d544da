#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <regex>

#include "files/fileio.h"
#include "files/listing.h"
#include "files/sender.h"
#include "files/status.h"
#include "support/file_transfer.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;

// Answers from the receiver are held back until released, so that the sender waits in its window.
class HeldAnswers {
public:
    explicit HeldAnswers(DirectPair& pair) : pair_(pair) {
        pair.answers = [this](uint8_t type, const Bytes& payload) {
            std::lock_guard lock(mutex_);
            if (!holding_) return true;
            held_.push_back({type, payload});
            return false;
        };
    }
    void release() {
        std::vector<std::pair<uint8_t, Bytes>> held;
        {
            std::lock_guard lock(mutex_);
            holding_ = false;
            held.swap(held_);
        }
        for (auto& [type, payload] : held) pair_.deliverAnswer(type, payload);
    }

private:
    DirectPair& pair_;
    std::mutex mutex_;
    bool holding_ = true;
    std::vector<std::pair<uint8_t, Bytes>> held_;
};

// Chunks of a file that fit the window before the sender has to wait: 4 MiB and one more chunk.
constexpr size_t kChunksBeforeWait = 33;

size_t dataCount(const SentLog& log) { return log.ofType(kFileData).size(); }

TEST(FileSender, IdsComeFromOneCounterThatSkipsZero) {
    const struct {
        uint32_t start;
        std::vector<uint32_t> ids;  // batch id, then the files'
    } cases[] = {{1, {1, 2, 3}}, {0xFFFFFFFEu, {0xFFFFFFFEu, 0xFFFFFFFFu, 1}}, {0xFFFFFFFFu, {0xFFFFFFFFu, 1, 2}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        TempFolder src, dest;
        putFile(src / L"a.txt", bytesOf("a"));
        putFile(src / L"b.txt", bytesOf("b"));
        DirectPair pair(dest.wide());
        pair.sender.nextId = c.start;
        pair.sender.enqueue({src / L"a.txt", src / L"b.txt"});
        EXPECT_NE(pair.result().find(" → 상대 PC: "), std::string::npos);
        const auto begins = pair.wire.ofType(kFileBegin);
        ASSERT_EQ(begins.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            const FileBeginMsg h = FileBeginMsg::decode(begins[i].payload);
            EXPECT_EQ(h.batchId, c.ids[0]);
            EXPECT_EQ(h.id, c.ids[i + 1]);
            EXPECT_EQ(h.index, i);
            EXPECT_EQ(h.count, 2u);
            EXPECT_EQ(h.total, 2u);
        }
        EXPECT_EQ(readFile(dest / L"b.txt"), bytesOf("b"));
    }
}

TEST(FileSender, FilesTravelInChunksOfAtMost128KiB) {
    const struct {
        size_t size;
        std::vector<size_t> chunks;
    } cases[] = {{0, {}}, {1, {1}}, {131072, {131072}}, {131073, {131072, 1}}, {262145, {131072, 131072, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        TempFolder src, dest;
        const Bytes content = patternBytes(c.size);
        putFile(src / L"f.bin", content);
        DirectPair pair(dest.wide());
        pair.sender.enqueue({src / L"f.bin"});
        pair.result();
        std::vector<uint8_t> expectedTypes{kFileBegin};
        for (size_t k = 0; k < c.chunks.size(); ++k) expectedTypes.push_back(kFileData);
        expectedTypes.push_back(kFileEnd);
        std::vector<uint8_t> seen;
        std::vector<size_t> chunks;
        for (const auto& s : pair.wire.all()) {
            seen.push_back(s.type);
            if (s.type == kFileData) chunks.push_back(s.payload.size() - 4);
        }
        EXPECT_EQ(seen, expectedTypes);
        EXPECT_EQ(chunks, c.chunks);
        EXPECT_EQ(readFile(dest / L"f.bin"), content);
    }
}

TEST(FileSender, ResultLines) {
    const std::vector<OutgoingFile> one = {{L"", "a.txt", 500}};
    const std::vector<OutgoingFile> two = {{L"", "a.txt", 1}, {L"", "b.txt", 1}};
    const std::vector<OutgoingFile> folder = {{L"", "Photos/a.jpg", 1}, {L"", "Photos/Trip/b.jpg", 1}};
    EXPECT_EQ(batchResultLine(one, 500, 2.3, "peer name", "C:\\Users\\x\\Downloads\\a.txt"),
              "a.txt (500바이트, 2.3초) → peer name: C:\\Users\\x\\Downloads\\a.txt");
    EXPECT_EQ(batchResultLine(one, 500, 0.02, "p", "C:\\a.txt"), "a.txt (500바이트, 0.1초) → p: C:\\a.txt");
    EXPECT_EQ(batchResultLine(two, 2600, 1.0, "p", "C:\\Users\\x\\Downloads\\a.txt"),
              "파일 2개 (3 KB, 1.0초) → p: C:\\Users\\x\\Downloads");
    EXPECT_EQ(batchResultLine(two, 2, 1.0, "p", "/home/x/a.txt"), "파일 2개 (2바이트, 1.0초) → p: /home/x");
    EXPECT_EQ(batchResultLine(two, 2, 1.0, "p", "\\a.txt"), "파일 2개 (2바이트, 1.0초) → p: \\a.txt");
    EXPECT_EQ(batchResultLine(folder, 2, 1.0, "p", "D:\\in\\Photos"), "파일 2개 (2바이트, 1.0초) → p: D:\\in\\Photos");
}

TEST(FileSender, NothingToSend) {
    TempFolder src, dest;
    putFolder(src / L"empty");
    DirectPair pair(dest.wide());
    pair.sender.enqueue({});
    EXPECT_FALSE(pair.sender.busy());
    pair.sender.enqueue({src / L"missing", src / L"empty"});
    EXPECT_EQ(pair.result(), "보낼 파일이 없습니다");
    pair.sender.maxFiles = 2;
    for (const wchar_t* name : {L"1", L"2", L"3"}) putFile(src / L"empty" + kPathSeparator + name, bytesOf("x"));
    pair.sender.enqueue({src / L"empty"});
    EXPECT_EQ(pair.result(1), "보낼 파일이 너무 많습니다 (2개 넘음)");
    EXPECT_TRUE(pair.wire.all().empty());
    EXPECT_EQ(pair.sender.nextId, 1u);  // no ids drawn either
}

TEST(FileSender, UnreadableFileEndsTheBatchAndKeepsEarlierFiles) {
    TempFolder src, dest;
    putFile(src / L"ok.txt", bytesOf("fine"));
#ifdef _WIN32
    putFile(src / L"x.bin", bytesOf("locked"));
    FileHandle lock = FileHandle::createForWriting(longPath(src / L"x.bin"), kAttrNormal);  // shares nothing
    ASSERT_TRUE(lock.valid());
#else
    ASSERT_EQ(::symlink((src.path() / "gone").c_str(), (src.path() / "x.bin").c_str()), 0);
#endif
    DirectPair pair(dest.wide());
    pair.sender.enqueue({src / L"ok.txt", src / L"x.bin", src / L"ok.txt"});
    const std::string result = pair.result();
    EXPECT_EQ(result.rfind("x.bin 을(를) 읽을 수 없어 멈췄습니다 (", 0), 0u) << result;
    const auto aborts = pair.wire.ofType(kFileAbort);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].text, "읽을 수 없음");
    EXPECT_EQ(pair.wire.ofType(kFileBegin).size(), 2u);  // the file after it is never announced
    EXPECT_EQ(treeOf(dest.path()), (std::map<std::string, std::string>{{"ok.txt", "fine"}}));
}

#ifndef _WIN32
// A read that fails in the middle is no end of file: the receiver must not keep a truncated copy.
// The process's own memory file opens but cannot be read from its start.
TEST(FileSender, FailedReadAbortsTheFile) {
    TempFolder dest;
    DirectPair pair(dest.wide());
    pair.sender.enqueue({L"/proc/self/mem"});
    EXPECT_EQ(pair.result(), "mem 을(를) 읽을 수 없어 멈췄습니다 (오류 1117)");
    const auto wire = pair.wire.all();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].type, kFileBegin);
    EXPECT_EQ(wire[1].type, kFileAbort);
    EXPECT_EQ(wire[1].text, "읽을 수 없음");
    EXPECT_TRUE(treeOf(dest.path()).empty());
}
#endif

// Refusals that concern no transfer of the running batch leave it alone; one for its file stops it.
TEST(FileSender, OnlyRefusalsOfTheRunningBatchStopIt) {
    TempFolder src;
    putFile(src / L"small.txt", bytesOf("s"));
    putFile(src / L"big.bin", patternBytes(5 << 20));
    for (bool refuseCurrent : {false, true}) {
        SCOPED_TRACE(refuseCurrent);
        TempFolder dest;
        DirectPair pair(dest.wide());
        pair.sender.enqueue({src / L"small.txt"});  // batch 1, file 2
        ASSERT_NE(pair.result().find("small.txt"), std::string::npos);
        HeldAnswers held(pair);
        pair.sender.enqueue({src / L"big.bin"});    // batch 3, file 4
        ASSERT_TRUE(waitFor([&] { return dataCount(pair.wire) >= kChunksBeforeWait + 1; }));
        pair.sender.onRefused(idPayload(0, std::string("원격 PC 에 복사해 둔 파일이 없습니다")));
        pair.sender.onRefused(idPayload(2, std::string("an earlier file")));
        pair.sender.onRefused(idPayload(99, std::string("no such transfer")));
        if (refuseCurrent) pair.sender.onRefused(idPayload(4, std::string()));
        held.release();
        const std::string result = pair.result(1);
        if (refuseCurrent) {
            EXPECT_EQ(result, "상대 PC이(가) 받지 않았습니다");
            const auto aborts = pair.wire.ofType(kFileAbort);
            ASSERT_EQ(aborts.size(), 1u);
            EXPECT_EQ(aborts[0].id, 4u);
            EXPECT_EQ(aborts[0].text, "상대 PC이(가) 받지 않았습니다");
            EXPECT_FALSE(pathExists(dest / L"big.bin"));
        } else {
            EXPECT_NE(result.find("big.bin (5.2 MB, "), std::string::npos) << result;
            EXPECT_EQ(readFile(dest / L"big.bin").size(), size_t(5 << 20));
        }
        pair.finish();
        pair.answers = nullptr;
    }
}

// A cancel stops the batch it found; a batch queued right after it still runs.
TEST(FileSender, CancelStopsOnlyTheBatchItFound) {
    TempFolder src, dest;
    putFile(src / L"a.bin", patternBytes(3 * kChunkBytes));
    putFile(src / L"b.txt", bytesOf("next"));
    DirectPair pair(dest.wide());
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, go = false;
    pair.filter = [&](uint8_t type, const Bytes&) {
        if (type != kFileData) return true;
        std::unique_lock lock(m);
        if (!inside) {
            inside = true;  // the worker is busy in its first chunk: cancel and enqueue now
            cv.notify_all();
            cv.wait(lock, [&] { return go; });
        }
        return true;
    };
    pair.sender.enqueue({src / L"a.bin"});
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return inside; }));
    }
    pair.sender.cancel();
    pair.sender.enqueue({src / L"b.txt"});
    {
        std::lock_guard lock(m);
        go = true;
    }
    cv.notify_all();
    EXPECT_EQ(pair.result(0), "보내기를 멈췄습니다");
    EXPECT_NE(pair.result(1).find("b.txt (4바이트"), std::string::npos);
    EXPECT_EQ(treeOf(dest.path()), (std::map<std::string, std::string>{{"b.txt", "next"}}));
    const auto aborts = pair.wire.ofType(kFileAbort);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].text, "보내기를 멈췄습니다");
    EXPECT_EQ(pair.rig.notes.all(), std::vector<std::string>{"보내기를 멈췄습니다"});
}

// A batch queued just as the worker finds the queue empty and leaves is never stranded. Each
// batch here is queued right after the previous one's line comes out, at a varying small delay,
// so that some land in that moment.
TEST(FileSender, BatchQueuedAsTheWorkerLeavesStillRuns) {
    TempFolder dest;
    FileSender sender;
    std::mutex m;
    std::condition_variable lineCame;
    int lines = 0;
    sender.notify = [&](const std::string&) {
        std::lock_guard lock(m);
        ++lines;
        lineCame.notify_all();
    };
    const std::vector<std::wstring> nothing = {dest / L"missing"};  // ends at once: "보낼 파일이 없습니다"
    const int kBatches = 1000;
    for (int i = 0; i < kBatches; ++i) {
        sender.enqueue(nothing);
        {
            // A stranded batch never brings its line; the bound is only there to end the test.
            std::unique_lock lock(m);
            ASSERT_TRUE(lineCame.wait_for(lock, 30s, [&] { return lines > i; })) << "batch " << i << " never ran";
        }
        std::atomic<int> spin{0};
        while (spin.fetch_add(1, std::memory_order_relaxed) < (i * 7) % 400) {
        }
    }
    EXPECT_TRUE(waitFor([&] { return !sender.busy(); }));
}

// Answers of the receiver that concern nothing this sender waits for are not kept: ten thousand
// confirmations of 64 KiB leave nothing behind, with or without a batch running, and the one kept
// for the running batch's file is cut to its bound.
TEST(FileSender, UnaskedConfirmationsAreNotKept) {
    const std::string big(65536, 'x');
    FileSender idle;
    for (uint32_t id = 1; id <= 10000; ++id) idle.onSaved(idPayload(id, big));
    EXPECT_TRUE(idle.saved.empty());

    TempFolder src, dest;
    putFile(src / L"big.bin", patternBytes(5 << 20));
    DirectPair pair(dest.wide());
    HeldAnswers held(pair);
    pair.sender.enqueue({src / L"big.bin"});  // batch 1, file 2
    ASSERT_TRUE(waitFor([&] { return dataCount(pair.wire) >= kChunksBeforeWait; }));
    size_t most = 0;
    for (uint32_t id = 3; id < 10003; ++id) {
        pair.sender.onSaved(idPayload(id, big));
        std::lock_guard lock(pair.sender.mutex);
        most = std::max(most, pair.sender.saved.size());
    }
    EXPECT_EQ(most, 0u);
    pair.sender.onSaved(idPayload(2, big + "\xED\x95\x9C"));
    {
        std::lock_guard lock(pair.sender.mutex);
        ASSERT_EQ(pair.sender.saved.size(), 1u);
        EXPECT_EQ(pair.sender.saved[2], std::string(kMaxPeerTextBytes, 'x'));
    }
    held.release();
    EXPECT_NE(pair.result().find("big.bin"), std::string::npos);
}

// An acknowledgement of more than was sent counts for nothing: it neither opens the window early
// nor, near 2^64, closes it for good.
TEST(FileSender, AcknowledgementsBeyondWhatWasSentAreIgnored) {
    TempFolder src;
    putFile(src / L"big.bin", patternBytes(6 << 20));
    for (uint64_t bogus : {~uint64_t(0), ~uint64_t(0) - kWindowBytes + 1, uint64_t(5) << 20}) {
        SCOPED_TRACE(bogus);
        TempFolder dest;
        DirectPair pair(dest.wide());
        HeldAnswers held(pair);
        pair.sender.enqueue({src / L"big.bin"});  // batch 1, file 2
        ASSERT_TRUE(waitFor([&] { return dataCount(pair.wire) >= kChunksBeforeWait; }));
        pair.sender.onAck(FileAckMsg{2, bogus}.encode());
        {
            std::lock_guard lock(pair.sender.mutex);
            EXPECT_EQ(pair.sender.acked[2], 0u);
        }
        held.release();
        const std::string result = pair.result();
        EXPECT_NE(result.find("big.bin (6.3 MB, "), std::string::npos) << result;
        EXPECT_EQ(readFile(dest / L"big.bin").size(), size_t(6 << 20));
    }
}

// A stop with a reason of its own (file transfer switched off) aborts the running file with it
// and makes it the batch's result; queued batches go too.
TEST(FileSender, CancelWithAReason) {
    TempFolder src, dest;
    putFile(src / L"big.bin", patternBytes(5 << 20));
    putFile(src / L"next.txt", bytesOf("next"));
    DirectPair pair(dest.wide());
    HeldAnswers held(pair);
    pair.sender.enqueue({src / L"big.bin"});
    pair.sender.enqueue({src / L"next.txt"});
    ASSERT_TRUE(waitFor([&] { return dataCount(pair.wire) >= kChunksBeforeWait; }));
    pair.sender.cancel("원격 PC 에서 파일 주고받기가 꺼져 있습니다");
    pair.sender.cancel();  // a later stop keeps the first one's reason
    EXPECT_EQ(pair.result(), "원격 PC 에서 파일 주고받기가 꺼져 있습니다");
    const auto aborts = pair.wire.ofType(kFileAbort);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].text, "원격 PC 에서 파일 주고받기가 꺼져 있습니다");
    EXPECT_TRUE(waitFor([&] { return !pair.sender.busy(); }));
    EXPECT_EQ(pair.wire.ofType(kFileBegin).size(), 1u);  // the queued batch never began
    EXPECT_TRUE(treeOf(dest.path()).empty());
    held.release();
}

TEST(FileSender, ProgressAndConfirmationTexts) {
    TempFolder src, dest;
    putFile(src / L"a.bin", patternBytes(300000));
    DirectPair pair(dest.wide());
    TextLog statuses;
    pair.sender.status = statuses.hook();
    pair.sender.enqueue({src / L"a.bin"});
    const std::string result = pair.result();
    EXPECT_TRUE(std::regex_match(result, std::regex("a\\.bin \\(300 KB, [0-9]+\\.[0-9]초\\) → 상대 PC: .*a\\.bin")))
        << result;
    const auto texts = statuses.all();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts.front(), "파일 보내는 중 1/1 · 43% (131 KB / 300 KB)");
    EXPECT_EQ(texts[texts.size() - 2], "파일 보내는 중 1/1 · 100% (300 KB / 300 KB) · 저장 확인 중");
    EXPECT_EQ(texts.back(), "");
}

}  // namespace

namespace {

// A drop queued ahead of an upload into a chosen remote folder: the folder is named right before
// the upload's first file, so the drop still lands in the default folder and the upload in its own.
TEST(FileSender, RemoteFolderIsNamedRightBeforeItsBatch) {
    TempFolder src, dest, chosen;
    putFile(src / L"drop.txt", bytesOf("dropped"));
    putFile(src / L"up.txt", bytesOf("uploaded"));
    DirectPair pair(dest.wide());
    // The receiving side as the host keeps it: a named folder serves the next new batch once.
    std::mutex mutex;
    std::wstring named;
    pair.filter = [&](uint8_t type, const Bytes& payload) {
        if (type != kSetDownloadFolder) return true;
        std::wstring resolved;
        if (isFolderWritable(std::string(payload.begin(), payload.end()), resolved)) {
            std::lock_guard lock(mutex);
            named = resolved;
        }
        return false;
    };
    pair.rig.receiver.destination = [&] {
        std::lock_guard lock(mutex);
        return std::exchange(named, std::wstring());
    };
    HeldAnswers held(pair);  // the drop waits for its confirmation while the upload queues
    pair.sender.enqueue({src / L"drop.txt"});
    pair.sender.enqueue({src / L"missing.txt"}, utf8FromWide(chosen.wide()));  // sends nothing: names nothing
    pair.sender.enqueue({src / L"up.txt"}, utf8FromWide(chosen.wide()));
    ASSERT_TRUE(waitFor([&] { return pair.wire.ofType(kFileEnd).size() == 1; }));
    EXPECT_TRUE(pair.wire.ofType(kSetDownloadFolder).empty());
    held.release();
    EXPECT_NE(pair.result(0).find("drop.txt"), std::string::npos);
    EXPECT_EQ(pair.result(1), "보낼 파일이 없습니다");
    EXPECT_NE(pair.result(2).find("up.txt"), std::string::npos);

    EXPECT_EQ(readFile(dest / L"drop.txt"), bytesOf("dropped"));
    EXPECT_EQ(readFile(chosen / L"up.txt"), bytesOf("uploaded"));
    EXPECT_FALSE(pathExists(dest / L"up.txt"));
    // Exactly one folder message, the folder's UTF-8 bytes alone, right before the upload's header.
    const std::vector<Sent> wire = pair.wire.all();
    const auto folder = std::find_if(wire.begin(), wire.end(), [](const Sent& s) { return s.type == kSetDownloadFolder; });
    ASSERT_NE(folder, wire.end());
    EXPECT_EQ(folder->payload, bytesOf(utf8FromWide(chosen.wide())));
    ASSERT_NE(folder + 1, wire.end());
    EXPECT_EQ((folder + 1)->type, kFileBegin);
    EXPECT_EQ((folder + 1)->text, "up.txt");
    EXPECT_EQ(pair.wire.ofType(kSetDownloadFolder).size(), 1u);
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "files/fileio.h"
#include "files/receiver.h"
#include "files/status.h"
#include "support/file_transfer.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::wstring in(const std::wstring& folder, std::initializer_list<std::wstring> names) {
    std::wstring path = folder;
    for (const auto& n : names) path = joinPath(path, n);
    return path;
}

std::vector<uint8_t> types(const std::vector<Sent>& sent) {
    std::vector<uint8_t> out;
    for (const auto& s : sent) out.push_back(s.type);
    return out;
}

TEST(FileReceiver, ClashingFolderGetsOneFreeNameForTheBatch) {
    TempFolder dest;
    putFolder(dest / L"Photos");
    ReceiverRig rig(dest.wide());
    rig.file(2, 1, 0, 2, "Photos/a.jpg", bytesOf("AAAA"));
    rig.file(3, 1, 1, 2, "Photos/b.jpg", bytesOf("BB"));
    const std::wstring saved = dest / L"Photos (2)";
    EXPECT_EQ(readFile(in(saved, {L"a.jpg"})), bytesOf("AAAA"));
    EXPECT_EQ(readFile(in(saved, {L"b.jpg"})), bytesOf("BB"));
    const auto savedMsgs = rig.replies.ofType(kFileSaved);
    ASSERT_EQ(savedMsgs.size(), 2u);
    EXPECT_EQ(savedMsgs[0].text, utf8FromWide(saved));
    EXPECT_EQ(savedMsgs[1].text, utf8FromWide(saved));
    const auto batches = rig.batchReports();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].path, saved);
    EXPECT_EQ(batches[0].files, 2);
    EXPECT_EQ(batches[0].bytes, 6u);
    EXPECT_EQ(rig.zoneMarks(), (std::vector<std::wstring>{in(saved, {L"a.jpg"}), in(saved, {L"b.jpg"})}));
    EXPECT_EQ(rig.statuses.all().back(), "");
    EXPECT_TRUE(rig.receiver.batches.empty());
}

// Each top-level item is checked for a clash once: its later files follow the name it got, even
// though the folder exists by then.
TEST(FileReceiver, TopLevelNamesAreChosenOncePerBatch) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.file(2, 1, 0, 3, "x/1.txt", bytesOf("1"));
    rig.file(3, 1, 1, 3, "y/2.txt", bytesOf("2"));
    rig.file(4, 1, 2, 3, "x/sub/3.txt", bytesOf("3"));
    EXPECT_EQ(treeOf(dest.path()), (std::map<std::string, std::string>{
                                       {"x", "<folder>"}, {"x/1.txt", "1"}, {"x/sub", "<folder>"},
                                       {"x/sub/3.txt", "3"}, {"y", "<folder>"}, {"y/2.txt", "2"}}));
    ASSERT_EQ(rig.batchReports().size(), 1u);
    EXPECT_EQ(rig.batchReports()[0].path, dest / L"x");
    EXPECT_EQ(rig.batchReports()[0].files, 3);
}

TEST(FileReceiver, NameTakenBeforeTheEndGetsAFreeOne) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.begin(2, 1, 0, 1, "a.txt", 3);
    rig.data(2, bytesOf("new"));
    putFile(dest / L"a.txt", bytesOf("old"));
    rig.end(2);
    EXPECT_EQ(readFile(dest / L"a.txt"), bytesOf("old"));
    EXPECT_EQ(readFile(dest / L"a (2).txt"), bytesOf("new"));
    const auto saved = rig.replies.ofType(kFileSaved);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].text, utf8FromWide(dest / L"a.txt"));  // the name chosen at the header
}

TEST(FileReceiver, WithoutPermitNothingIsCreated) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    int asked = 0;
    rig.receiver.acceptNewBatch = [&] { return ++asked, false; };
    rig.file(2, 1, 0, 2, "Photos/a.jpg", bytesOf("A"));
    rig.file(3, 1, 1, 2, "Photos/b.jpg", bytesOf("B"));
    EXPECT_EQ(asked, 2);  // no record was made, so the next header asks again
    const auto replies = rig.replies.all();
    ASSERT_EQ(replies.size(), 2u);
    for (const auto& r : replies) {
        EXPECT_EQ(r.type, kFileRefused);
        EXPECT_EQ(r.text, "파일 받기가 꺼져 있습니다");
    }
    EXPECT_TRUE(treeOf(dest.path()).empty());
}

TEST(FileReceiver, AbortOfEverythingDropsPartFiles) {
    for (const std::string reason : {"세션을 닫습니다", ""}) {
        SCOPED_TRACE(reason);
        TempFolder dest;
        ReceiverRig rig(dest.wide());
        rig.file(2, 1, 0, 3, "kept.txt", bytesOf("k"));
        rig.begin(3, 1, 1, 3, "part.txt");
        rig.data(3, bytesOf("half"));
        rig.begin(9, 7, 0, 1, "other.txt");
        EXPECT_TRUE(pathExists(dest / L".part.txt.tavrel-part"));
        rig.abort(0, reason);
        EXPECT_EQ(treeOf(dest.path()), (std::map<std::string, std::string>{{"kept.txt", "k"}}));
        EXPECT_TRUE(rig.receiver.files.empty());
        EXPECT_TRUE(rig.receiver.batches.empty());
        EXPECT_EQ(rig.statuses.all().back(), "");
        EXPECT_EQ(rig.notes.all(), reason.empty() ? std::vector<std::string>{} : std::vector<std::string>{reason});
        // Late chunks of a dropped transfer are dropped quietly.
        rig.replies.take();
        rig.data(3, bytesOf("late"));
        rig.end(3);
        EXPECT_TRUE(rig.replies.all().empty());
    }
}

TEST(FileReceiver, AbortOfOneFileForgetsItsBatch) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.begin(2, 1, 0, 2, "a.txt");
    rig.data(2, bytesOf("xx"));
    rig.abort(2, "보내기를 멈췄습니다");
    EXPECT_TRUE(treeOf(dest.path()).empty());
    EXPECT_TRUE(rig.receiver.batches.empty());
    EXPECT_EQ(rig.notes.all(), std::vector<std::string>{"보내기를 멈췄습니다"});
}

// Aborting one of two open files of a batch keeps the batch for the other: the other stays
// watched (ended and refused when the batch idles), and the batch's indices go on (an index it
// had is not admitted again as a new batch).
TEST(FileReceiver, AbortOfOneOfTwoOpenFilesKeepsTheBatchForTheOther) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.receiver.idleTimeout = std::chrono::milliseconds(300);
    int asked = 0;
    rig.receiver.acceptNewBatch = [&] { return ++asked, true; };
    rig.begin(2, 1, 0, 3, "a.txt", 4);
    rig.begin(3, 1, 1, 3, "b.txt", 4);
    rig.data(3, bytesOf("bb"));
    rig.abort(2, "보내기를 멈췄습니다");
    {
        std::lock_guard lock(rig.receiver.mutex);
        EXPECT_EQ(rig.receiver.batches.count(1), 1u);
    }
    rig.begin(4, 1, 1, 3, "again.txt", 4);
    EXPECT_EQ(asked, 1);
    auto refusalOf = [&](uint32_t id) {
        for (const Sent& r : rig.replies.ofType(kFileRefused))
            if (r.id == id) return std::optional<std::string>(r.text);
        return std::optional<std::string>();
    };
    EXPECT_EQ(refusalOf(4), "저장할 수 없습니다 (" + winErrorText(kErrInvalidData) + ")");
    // The batch brings nothing more: the open file is dropped and refused.
    ASSERT_TRUE(waitFor([&] { return refusalOf(3).has_value(); }));
    EXPECT_EQ(refusalOf(3), "저장하다 멈췄습니다 (" + winErrorText(kErrTimeout) + ")");
    EXPECT_EQ(rig.replies.ofType(kFileRefused).size(), 2u);
    EXPECT_TRUE(treeOf(dest.path()).empty());
    std::lock_guard lock(rig.receiver.mutex);
    EXPECT_TRUE(rig.receiver.files.empty());
}

TEST(FileReceiver, ChunksAreAcknowledgedWithTheRunningTotal) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.data(5, bytesOf("unknown"));                     // no transfer: no reply
    rig.receiver.handle(kFileData, Bytes{0, 0, 0});      // too short: ignored
    rig.begin(2, 1, 0, 1, "a.txt", 5);
    rig.data(2, bytesOf("abc"));
    rig.data(2, Bytes{});                                // an empty chunk keeps the count
    rig.data(2, bytesOf("de"));
    rig.end(2);
    const auto replies = rig.replies.all();
    ASSERT_EQ(types(replies), (std::vector<uint8_t>{kFileAck, kFileAck, kFileAck, kFileSaved}));
    EXPECT_EQ(replies[0].count, 3u);
    EXPECT_EQ(replies[1].count, 3u);
    EXPECT_EQ(replies[2].count, 5u);
    EXPECT_EQ(readFile(dest / L"a.txt"), bytesOf("abcde"));
    ASSERT_EQ(rig.batchReports().size(), 1u);  // a batch of one file completes at its end
    EXPECT_EQ(rig.batchReports()[0].bytes, 5u);
    EXPECT_EQ(rig.statuses.all().front(), "파일 받는 중 1/1 · 60% (3바이트 / 5바이트)");
}

TEST(FileReceiver, ShortEndAndAbortChangeNothing) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.begin(2, 1, 0, 1, "a.txt");
    rig.receiver.handle(kFileEnd, Bytes{0, 0, 2});
    rig.receiver.handle(kFileAbort, Bytes{0, 0});
    EXPECT_TRUE(rig.replies.all().empty());
    EXPECT_EQ(rig.receiver.files.size(), 1u);
    rig.receiver.handle(99, Bytes{});  // not a transfer message
    rig.end(2);
    EXPECT_EQ(readFile(dest / L"a.txt"), Bytes{});
}

TEST(FileReceiver, LeftoverPartFileIsEmptiedAndReused) {
    TempFolder dest;
    putFile(dest / L".a.txt.tavrel-part", bytesOf("left from an earlier run"));
    ReceiverRig rig(dest.wide());
    rig.file(2, 1, 0, 1, "a.txt", bytesOf("new"));
    EXPECT_EQ(treeOf(dest.path()), (std::map<std::string, std::string>{{"a.txt", "new"}}));
}

TEST(FileReceiver, MissingDestinationIsNotCreated) {
    TempFolder root;
    const std::wstring missing = root / L"missing";
    ReceiverRig rig(missing);
    rig.begin(2, 1, 0, 2, "a.txt");
    rig.begin(3, 5, 0, 1, "Photos/b.jpg");
    const auto replies = rig.replies.all();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].text.rfind("저장할 수 없습니다 (", 0), 0u) << replies[0].text;
    EXPECT_EQ(replies[1].text.rfind("폴더를 만들 수 없습니다 (", 0), 0u) << replies[1].text;
    EXPECT_TRUE(treeOf(root.path()).empty());
}

TEST(FileReceiver, EmptyDestinationMeansTheDefaultFolder) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.receiver.destination = [] { return std::wstring(); };
    rig.file(2, 1, 0, 1, "a.txt", bytesOf("x"));
    EXPECT_EQ(readFile(dest / L"a.txt"), bytesOf("x"));
}

// A second header for a transfer that is still open is no new file: the open one is dropped and
// refused, and however often it comes, the batch gains no name and no folder.
TEST(FileReceiver, RepeatedHeaderAbortsTheOpenFile) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.begin(2, 1, 0, 3, "first.txt");
    rig.data(2, bytesOf("1"));
    for (int i = 0; i < 50; ++i) rig.begin(2, 1, 0, 3, "dir" + std::to_string(i) + "/x.txt");
    rig.data(2, bytesOf("2"));
    rig.end(2);
    EXPECT_TRUE(treeOf(dest.path()).empty());
    const auto refused = rig.replies.ofType(kFileRefused);
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused[0].id, 2u);
    EXPECT_EQ(refused[0].text, "저장할 수 없습니다 (" + winErrorText(kErrInvalidData) + ")");
    EXPECT_TRUE(rig.replies.ofType(kFileSaved).empty());
    ASSERT_LE(rig.receiver.batches.size(), 1u);
    for (const auto& [id, batch] : rig.receiver.batches) EXPECT_LE(batch.topNames.size(), 1u);
}

// A peer cannot hold any number of files open; refusals at the header leave no batch records
// that would fill the limit for later batches.
TEST(FileReceiver, OpenTransfersAreLimited) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.receiver.maxOpenFiles = 4;
    const std::string tooMany = "저장할 수 없습니다 (" + winErrorText(kErrTooManyOpenFiles) + ")";
    for (uint32_t i = 0; i < 4; ++i) rig.begin(10 + i, 1, i, 10, "f" + std::to_string(i));
    int asked = 0;
    rig.receiver.acceptNewBatch = [&] { return ++asked, true; };
    rig.begin(20, 1, 4, 10, "f4");   // same batch
    rig.begin(21, 2, 0, 1, "g");     // a new batch, refused before asking for a permit
    auto replies = rig.replies.take();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].text, tooMany);
    EXPECT_EQ(replies[1].text, tooMany);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(rig.receiver.files.size(), 4u);
    rig.abort(0, "");
    for (uint32_t batch = 100; batch < 140; ++batch) rig.begin(batch * 2, batch, 0, 2, "../x");
    EXPECT_LE(rig.receiver.batches.size(), 1u);
    rig.replies.take();
    rig.file(500, 200, 0, 1, "ok.txt", bytesOf("ok"));
    EXPECT_EQ(types(rig.replies.all()), (std::vector<uint8_t>{kFileAck, kFileSaved}));
}

// One permit admits one batch of at most its announced count, each index once. Headers that
// break that are refused; nothing of theirs reaches the disk.
TEST(FileReceiver, ABatchTakesOnlyWhatItAnnounced) {
    const std::string invalid = "저장할 수 없습니다 (" + winErrorText(kErrInvalidData) + ")";
    struct Header {
        uint32_t id, index, count;
        std::string path;
    };
    const struct {
        const char* name;
        std::vector<Header> headers;   // all of batch 7, each followed by one chunk and its end
        std::set<std::string> saved;   // names written
        int permitsAsked;
    } cases[] = {
        {"index past the count", {{2, 0, 2, "a"}, {3, 2, 2, "b"}, {4, 1, 2, "c"}}, {"a", "c"}, 1},
        {"index twice", {{2, 0, 3, "a"}, {3, 0, 3, "b"}, {4, 1, 3, "c"}}, {"a", "c"}, 1},
        {"count that changes", {{2, 0, 3, "a"}, {3, 1, 4, "b"}, {4, 1, 3, "c"}}, {"a", "c"}, 1},
        {"absurd count", {{2, 0, 0xFFFFFFFFu, "a"}, {3, 1, 0xFFFFFFFFu, "b"}}, {}, 0},
        {"no files", {{2, 0, 0, "a"}}, {}, 0},
        {"count over the limit", {{2, 0, 5, "a"}}, {}, 0},
        {"count at the limit", {{2, 0, 4, "a"}, {3, 3, 4, "d"}}, {"a", "d"}, 1},
        {"first header outside its count", {{2, 3, 3, "a"}}, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dest;
        ReceiverRig rig(dest.wide());
        rig.receiver.maxBatchFiles = 4;
        int asked = 0;
        rig.receiver.acceptNewBatch = [&] { return ++asked == 1; };  // one permit
        for (const auto& h : c.headers) {
            rig.begin(h.id, 7, h.index, h.count, h.path, 0);
            rig.data(h.id, bytesOf(h.path));
            rig.end(h.id);
        }
        std::set<std::string> saved;
        for (const auto& [name, content] : treeOf(dest.path())) saved.insert(name);
        EXPECT_EQ(saved, c.saved);
        for (const auto& r : rig.replies.ofType(kFileRefused)) EXPECT_EQ(r.text, invalid);
        EXPECT_EQ(rig.replies.ofType(kFileRefused).size(), c.headers.size() - c.saved.size());
        EXPECT_EQ(asked, c.permitsAsked);
    }
}

// The trigger: the viewer asked for files once, and the host keeps sending headers of that batch
// long after. An absurd count refuses the batch whole; a sane one admits its count and no more.
TEST(FileReceiver, OnePermitAdmitsNoMoreThanTheBatchAnnounced) {
    const struct {
        uint32_t count;
        size_t written;
    } cases[] = {{0xFFFFFFFFu, 0}, {3, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        TempFolder dest;
        ReceiverRig rig(dest.wide());
        int asked = 0;
        rig.receiver.acceptNewBatch = [&] { return ++asked == 1; };
        // Indices 0 and 1 over and over: a batch of 3 never completes this way.
        for (uint32_t i = 0; i < 501; ++i) rig.file(2 + i, 7, i % 2, c.count, std::to_string(i) + ".f", bytesOf("x"));
        EXPECT_EQ(treeOf(dest.path()).size(), c.written);
        EXPECT_EQ(rig.replies.ofType(kFileSaved).size(), c.written);
        EXPECT_EQ(rig.replies.ofType(kFileRefused).size(), 501 - c.written);
        EXPECT_LE(asked, 1);
    }
}

// A batch that brings nothing for the idle time is ended: its open file dropped and refused, and
// what it saved reported. A batch that saved nothing is not reported as received.
TEST(FileReceiver, IdleBatchEndsWithWhatArrived) {
    for (bool savedOne : {true, false}) {
        SCOPED_TRACE(savedOne);
        TempFolder dest;
        ReceiverRig rig(dest.wide());
        rig.receiver.idleTimeout = std::chrono::milliseconds(100);
        if (savedOne) rig.file(2, 1, 0, 3, "done.txt", bytesOf("done"));
        rig.begin(3, 1, 1, 3, "half.txt", 10);
        rig.data(3, bytesOf("half"));
        ASSERT_TRUE(waitFor([&] { return !rig.replies.ofType(kFileRefused).empty(); }));
        const auto refused = rig.replies.ofType(kFileRefused);
        ASSERT_EQ(refused.size(), 1u);
        EXPECT_EQ(refused[0].id, 3u);
        EXPECT_EQ(refused[0].text, "저장하다 멈췄습니다 (" + winErrorText(kErrTimeout) + ")");
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard lock(rig.receiver.mutex);
            return rig.receiver.batches.empty();
        }));
        const std::map<std::string, std::string> kept =
            savedOne ? std::map<std::string, std::string>{{"done.txt", "done"}} : std::map<std::string, std::string>{};
        EXPECT_EQ(treeOf(dest.path()), kept);
        // Late messages of the ended batch change nothing.
        rig.data(3, bytesOf("late"));
        rig.end(3);
        const auto reports = rig.batchReports();
        if (savedOne) {
            ASSERT_EQ(reports.size(), 1u);
            EXPECT_EQ(reports[0].path, dest / L"done.txt");
            EXPECT_EQ(reports[0].files, 1);
            EXPECT_EQ(reports[0].bytes, 4u);
        } else {
            EXPECT_TRUE(reports.empty());
        }
        EXPECT_EQ(rig.statuses.all().back(), "");
        // The sender's abort of the refused file shows this side's reason.
        rig.abort(3, "받음: 급여.pdf");
        EXPECT_EQ(rig.notes.all(), std::vector<std::string>{refused[0].text});
    }
}

// The size in the header is what the sender measured: a file that ends short of it was cut off
// and is not kept; one that grew while it was sent is kept as it came.
TEST(FileReceiver, FilesShorterThanAnnouncedAreNotKept) {
    const struct {
        const char* name;
        uint64_t announced;
        std::vector<std::string> chunks;
        bool kept;
    } cases[] = {
        {"exact", 5, {"ab", "cde"}, true},
        {"empty", 0, {}, true},
        {"short", 5, {"ab", "c"}, false},
        {"nothing of it", 3, {}, false},
        {"grew", 2, {"abc"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dest;
        ReceiverRig rig(dest.wide());
        rig.receiver.handle(kFileBegin, FileBeginMsg{2, 1, 0, 1, c.announced, c.announced, "a.txt"}.encode());
        std::string all;
        for (const auto& chunk : c.chunks) {
            rig.data(2, bytesOf(chunk));
            all += chunk;
        }
        rig.end(2);
        if (c.kept) {
            EXPECT_EQ(treeOf(dest.path()), (std::map<std::string, std::string>{{"a.txt", all}}));
            EXPECT_EQ(rig.replies.ofType(kFileSaved).size(), 1u);
            EXPECT_EQ(rig.batchReports().size(), 1u);
        } else {
            EXPECT_TRUE(treeOf(dest.path()).empty());
            const auto refused = rig.replies.ofType(kFileRefused);
            ASSERT_EQ(refused.size(), 1u);
            EXPECT_EQ(refused[0].text, "저장하지 못했습니다 (" + winErrorText(kErrHandleEof) + ")");
            EXPECT_TRUE(rig.replies.ofType(kFileSaved).empty());
            EXPECT_TRUE(rig.batchReports().empty());
        }
    }
}

// An abort tells the user something only about a transfer of this side: the peer cannot put a
// line of its own choosing into the title.
TEST(FileReceiver, AbortsOfTransfersNotUnderWayShowNothing) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.abort(99, "받음: 급여.pdf (1.2 MB)");
    rig.abort(0, "받음: 급여.pdf (1.2 MB)");
    EXPECT_TRUE(rig.statuses.all().empty());
    rig.file(2, 1, 0, 2, "a.txt", bytesOf("a"));
    const size_t statuses = rig.statuses.size();
    rig.abort(2, "받음: 급여.pdf");   // ended already
    rig.abort(77, "받음: 급여.pdf");  // never began
    EXPECT_TRUE(rig.notes.all().empty());
    EXPECT_EQ(rig.statuses.size(), statuses);
    EXPECT_TRUE(rig.replies.ofType(kFileRefused).empty());
    // A file under way: its abort is the sender's to explain.
    rig.begin(3, 1, 1, 2, "b.txt");
    rig.abort(3, "보내기를 멈췄습니다");
    EXPECT_EQ(rig.notes.all(), std::vector<std::string>{"보내기를 멈췄습니다"});
    // A file this side refused: the sender's abort echoes the refusal, and this side's text shows.
    rig.begin(4, 5, 0, 1, "a/../b");
    rig.abort(4, "받음: 급여.pdf");
    rig.abort(4, "받음: 급여.pdf");
    EXPECT_EQ(rig.notes.all(), (std::vector<std::string>{"보내기를 멈췄습니다", "받을 수 없는 경로: a/../b"}));
    EXPECT_EQ(readFile(dest / L"a.txt"), bytesOf("a"));
}

// A link left at the part file's name is removed, not written through: what it leads to keeps
// its content. Under Wine only the hard link: Wine's DeleteFileW on a Unix symbolic link to a file
// removes the link's target (measured), where Windows removes the link itself.
TEST(FileReceiver, LinkAtThePartNameIsNotWrittenThrough) {
    const struct {
        const char* name;
        bool hard;
    } cases[] = {
#ifndef _WIN32
        {"symbolic link", false},
#endif
        {"hard link", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder root;
        const std::wstring dest = root / L"dest", outside = root / L"outside.txt";
        putFolder(dest);
        putFile(outside, bytesOf("outside"));
        TestLink link(outside, joinPath(dest, L".a.txt.tavrel-part"), c.hard);
        ASSERT_TRUE(link.made());
        ReceiverRig rig(dest);
        rig.file(2, 1, 0, 1, "a.txt", bytesOf("peer's bytes"));
        EXPECT_EQ(readFile(joinPath(dest, L"a.txt")), bytesOf("peer's bytes"));
        EXPECT_EQ(readFile(outside), bytesOf("outside"));
        EXPECT_EQ(rig.replies.ofType(kFileSaved).size(), 1u);
    }
}

// A link that appears under the part file's name after the leftover was removed is not opened
// either: the part file is only ever made new, so the file is refused and what the link leads to
// keeps its content.
TEST(FileReceiver, LinkMadeAfterTheLeftoverWentIsNotWrittenThrough) {
    const struct {
        const char* name;
        bool hard;
    } cases[] = {
#ifndef _WIN32
        {"symbolic link", false},
#endif
        {"hard link", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder root;
        const std::wstring dest = root / L"dest", outside = root / L"outside.txt";
        putFolder(dest);
        putFile(outside, bytesOf("outside"));
        ReceiverRig rig(dest);
        std::unique_ptr<TestLink> link;
        rig.receiver.partNameFreed = [&](const std::wstring& partPath) {
            link = std::make_unique<TestLink>(outside, partPath, c.hard);
        };
        rig.file(2, 1, 0, 1, "a.txt", bytesOf("peer's bytes"));
        ASSERT_TRUE(link && link->made());
        EXPECT_EQ(readFile(outside), bytesOf("outside"));
        EXPECT_FALSE(pathExists(joinPath(dest, L"a.txt")));
        EXPECT_TRUE(rig.replies.ofType(kFileSaved).empty());
        const auto refused = rig.replies.ofType(kFileRefused);
        ASSERT_EQ(refused.size(), 1u);
        EXPECT_EQ(refused[0].id, 2u);
        EXPECT_EQ(refused[0].text.rfind("저장할 수 없습니다 (", 0), 0u) << refused[0].text;
    }
}

struct HostileCase {
    const char* name;
    std::string path;
    std::vector<std::wstring> savedAs;   // components below the destination; empty: refused
    std::string refusal;                 // the refusal text, or its start when `prefixOnly`
    bool prefixOnly = false;
};

std::string repeatComponent(const std::string& component, int n, const std::string& last) {
    std::string s;
    for (int i = 0; i < n; ++i) s += component + "/";
    return s + last;
}

// Hostile paths through a real receiver: each lands inside the destination under its cleaned
// name, or is refused; nothing appears beside the destination.
TEST(FileReceiver, HostilePathsStayInsideTheDestination) {
    const std::string a100(100, 'a'), a200(200, 'a');
    const std::string deep = repeatComponent(a100, 31, "x.txt");          // about 3.2 KB: written
    const std::string tooDeep = repeatComponent(a200, 31, "x.txt");       // about 6.3 KB: refused
    std::vector<std::wstring> deepParts(31, std::wstring(100, L'a'));
    deepParts.push_back(L"x.txt");
    const std::string hangul200 = [] {
        std::string s;
        for (int i = 0; i < 200; ++i) s += "\xED\x95\x9C";  // 600 bytes: over the file system's name limit
        return s;
    }();
    const HostileCase cases[] = {
        {"parent", "..", {}, "받을 수 없는 경로: .."},
        {"parent inside", "a/../b", {}, "받을 수 없는 경로: a/../b"},
        {"absolute", "/etc/x", {L"etc", L"x"}, ""},
        {"drive", "C:/Windows/x", {L"C_", L"Windows", L"x"}, ""},
        {"network", "\\\\srv\\share\\x", {L"__srv_share_x"}, ""},
        {"long-path form", "\\\\?\\C:\\x", {L"____C__x"}, ""},
        {"stream", "a:b", {L"a_b"}, ""},
        {"device", "CON", {L"_CON"}, ""},
        {"device with extension", "con.txt", {L"_con.txt"}, ""},
        {"device with two extensions", "Com1.tar.gz", {L"_Com1.tar.gz"}, ""},
        {"dots", "...", {L"_"}, ""},
        {"direction override", "invoice\u202Efdp.exe", {L"invoice_fdp.exe"}, ""},
        {"direction isolate", "\u2067exe.pdf\u2069", {L"_exe.pdf_"}, ""},
        {"port zero", "LPT0.txt", {L"_LPT0.txt"}, ""},
        {"trailing blanks and dots", "x/name . .", {L"x", L"name"}, ""},
        {"33 components", repeatComponent("d", 32, "x"), {}, "받을 수 없는 경로: " + repeatComponent("d", 32, "x")},
        {"250 units", std::string(250, 'b'), {std::wstring(200, L'b')}, ""},
        {"pair at unit 200", std::string(199, 'c') + "\xF0\x9F\x98\x80" + "d", {std::wstring(199, L'c')}, ""},
        {"invalid UTF-8", "a\xFF" "b", {L"a\uFFFDb"}, ""},
        {"deep and long", deep, deepParts, ""},
        {"deeper than the file system allows", tooDeep, {}, "폴더를 만들 수 없습니다 (", true},
        {"name longer than the file system allows", hangul200, {}, "저장할 수 없습니다 (", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder root;
        const std::wstring dest = root / L"dest";
        putFolder(dest);
        ReceiverRig rig(dest);
        rig.file(2, 1, 0, 1, c.path, bytesOf("payload"));
        const auto replies = rig.replies.all();
        if (c.savedAs.empty()) {
            ASSERT_FALSE(replies.empty());
            EXPECT_EQ(replies[0].type, kFileRefused);
            if (c.prefixOnly) {
                EXPECT_EQ(replies[0].text.rfind(c.refusal, 0), 0u) << replies[0].text;
            } else {
                EXPECT_EQ(replies[0].text, c.refusal);
            }
            EXPECT_TRUE(rig.replies.ofType(kFileSaved).empty());
        } else {
            std::wstring expected = dest;
            for (const auto& part : c.savedAs) expected = joinPath(expected, part);
            EXPECT_EQ(types(replies), (std::vector<uint8_t>{kFileAck, kFileSaved}));
            EXPECT_EQ(readFile(longPath(expected)), bytesOf("payload"));
            // Beside the file only the file itself.
            std::vector<FolderEntry> beside;
            ASSERT_TRUE(listFolder(longPath(folderPart(expected)), beside));
            for (const auto& e : beside) {
                if (e.name != L"." && e.name != L"..") {
                    EXPECT_EQ(e.name, c.savedAs.back());
                }
            }
        }
        std::vector<FolderEntry> top;
        ASSERT_TRUE(listFolder(root.wide(), top));
        for (const auto& e : top) {
            if (e.name != L"." && e.name != L"..") {
                EXPECT_EQ(e.name, L"dest");
            }
        }
    }
}

#ifndef _WIN32
// A chunk that cannot be written drops the transfer and says why (the part file's descriptor
// leads to a full device here).
TEST(FileReceiver, FailedWriteRefusesAndDropsThePartFile) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.begin(2, 1, 0, 2, "a.txt");
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    ASSERT_TRUE(replaceDescriptorOf(dest.path() / ".a.txt.tavrel-part", full));
    rig.data(2, bytesOf("xyz"));
    const auto replies = rig.replies.all();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].text, "저장하다 멈췄습니다 (오류 112)");
    EXPECT_TRUE(treeOf(dest.path()).empty());
    EXPECT_TRUE(rig.receiver.files.empty());
    EXPECT_EQ(rig.receiver.batches.size(), 1u);  // the batch stays
}

TEST(FileReceiver, FailedRenameRefusesAndDropsThePartFile) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.begin(2, 1, 0, 1, "a.txt");
    rig.data(2, bytesOf("xyz"));
    ASSERT_EQ(::unlink((dest.path() / ".a.txt.tavrel-part").c_str()), 0);
    rig.end(2);
    const auto replies = rig.replies.all();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].text, "저장하지 못했습니다 (오류 2)");
    EXPECT_TRUE(rig.batchReports().empty());
    EXPECT_TRUE(treeOf(dest.path()).empty());
}

// abortAll from another thread while a chunk is being written: it waits for the write instead of
// closing the handle under it, and the part file is gone afterwards. Its descriptor leads to a pipe
// here, so that the write stays blocked until the test drains it.
TEST(FileReceiver, AbortWaitsForAWriteInProgress) {
    TempFolder dest;
    const auto part = dest.path() / ".a.txt.tavrel-part";
    ReceiverRig rig(dest.wide());
    rig.begin(2, 1, 0, 1, "a.txt");
    ASSERT_EQ(rig.receiver.files.size(), 1u);
    PipeUnderFile pipe(part);
    ASSERT_TRUE(pipe.ready());
    const Bytes chunk(pipe.capacity() * 4, 0x5A);
    std::atomic<bool> written{false}, aborted{false};
    std::thread writer([&] {
        rig.data(2, chunk);
        written = true;
    });
    // A full pipe: the writer is inside its write.
    ASSERT_TRUE(waitFor([&] { return pipe.full(); }));
    std::thread aborter([&] {
        rig.receiver.abortAll();
        aborted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(aborted);
    size_t drained = 0;
    while (!written) {
        drained += pipe.drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    aborter.join();
    writer.join();
    drained += pipe.drain();
    EXPECT_EQ(drained, chunk.size());
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(pathExists(part.wstring()));
    EXPECT_TRUE(rig.receiver.files.empty());
    EXPECT_TRUE(rig.replies.ofType(kFileAck).empty());  // the transfer was gone when the write ended
}
#endif

}  // namespace

#include <gtest/gtest.h>

#include "files/transfer_messages.h"
#include "support/file_transfer.h"
#include "support/proto_error.h"

namespace {

TEST(FileMessages, BeginLayoutIsExact) {
    const FileBeginMsg m{2, 1, 0, 3, 0x0102030405060708ull, 9, "a/b"};
    const Bytes expected = {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8,
                            0, 0, 0, 0, 0, 0, 0, 9, 'a', '/', 'b'};
    EXPECT_EQ(m.encode(), expected);
    const FileBeginMsg back = FileBeginMsg::decode(expected);
    EXPECT_EQ(back.id, 2u);
    EXPECT_EQ(back.batchId, 1u);
    EXPECT_EQ(back.index, 0u);
    EXPECT_EQ(back.count, 3u);
    EXPECT_EQ(back.size, 0x0102030405060708ull);
    EXPECT_EQ(back.total, 9u);
    EXPECT_EQ(back.path, "a/b");
    EXPECT_EQ(idPayload(0x01020304, std::string("ok")), (Bytes{1, 2, 3, 4, 'o', 'k'}));
    EXPECT_EQ((FileAckMsg{5, 0x1122334455667788ull}.encode()),
              (Bytes{0, 0, 0, 5, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
}

// A header cut before any of its fixed fields is short; the receiver drops it without a reply or a
// file. At 32 bytes it is whole, with an empty path, which is refused as a path.
TEST(FileMessages, BeginCutBeforeItsFixedFieldsIsShort) {
    const Bytes whole = FileBeginMsg{2, 1, 0, 1, 5, 5, ""}.encode();
    ASSERT_EQ(whole.size(), 32u);
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    for (size_t length : {0, 3, 4, 7, 8, 11, 12, 15, 16, 23, 24, 31}) {
        SCOPED_TRACE(length);
        const Bytes cut(whole.begin(), whole.begin() + long(length));
        EXPECT_EQ(protoErrorOf([&] { FileBeginMsg::decode(cut); }), "짧은 메시지");
        rig.receiver.handle(kFileBegin, cut);
        EXPECT_TRUE(rig.replies.all().empty());
    }
    EXPECT_TRUE(treeOf(dest.path()).empty());
    rig.receiver.handle(kFileBegin, whole);
    const auto replies = rig.replies.all();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].type, kFileRefused);
    EXPECT_EQ(replies[0].text, "받을 수 없는 경로: ");
}

TEST(FileMessages, AckNeedsTwelveBytesAndIgnoresTheRest) {
    FileSender sender;
    sender.acked[7] = 100;
    sender.sentBytes[7] = 1000;
    Bytes ack = FileAckMsg{7, 500}.encode();
    EXPECT_EQ(protoErrorOf([&] { sender.onAck(Bytes(ack.begin(), ack.begin() + 11)); }), "짧은 메시지");
    EXPECT_EQ(sender.acked[7], 100u);
    ack.resize(20, 0xEE);
    sender.onAck(ack);
    EXPECT_EQ(sender.acked[7], 500u);
    // A smaller count and an unknown id change nothing.
    sender.onAck(FileAckMsg{7, 400}.encode());
    sender.onAck(FileAckMsg{8, 400}.encode());
    EXPECT_EQ(sender.acked[7], 500u);
    EXPECT_EQ(sender.acked.count(8), 0u);
}

TEST(FileMessages, SenderAnswersNeedAnId) {
    FileSender sender;
    for (size_t length : {0, 3}) {
        const Bytes cut(length, 0);
        EXPECT_EQ(protoErrorOf([&] { sender.onSaved(cut); }), "짧은 메시지");
        EXPECT_EQ(protoErrorOf([&] { sender.onRefused(cut); }), "짧은 메시지");
    }
    sender.onSaved(idPayload(9, std::string("C:\\x")));
    EXPECT_TRUE(sender.saved.empty());  // no batch waits for it
}

}  // namespace

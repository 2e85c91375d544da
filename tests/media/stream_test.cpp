#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/stream.h"
#include "support/short_message.h"

namespace {

std::vector<Bytes> units(const Bytes& stream) {
    std::vector<Bytes> out;
    for (ByteSpan u : splitAnnexB(stream.data(), stream.size())) out.emplace_back(u.begin(), u.end());
    return out;
}

TEST(SplitAnnexB, ByteTable) {
    const struct {
        const char* name;
        Bytes stream;
        std::vector<Bytes> expected;
    } cases[] = {
        {"3- and 4-byte start codes", {0, 0, 1, 0xaa, 0, 0, 0, 1, 0xbb}, {{0xaa}, {0xbb}}},
        {"extra zeros before start codes", {0, 0, 0, 0, 1, 0xaa, 0, 0, 0, 0, 1, 0xbb}, {{0xaa}, {0xbb}}},
        {"start code at the end", {0, 0, 1, 0xaa, 0xbb, 0, 0, 1}, {{0xaa, 0xbb}}},
        {"all-zero unit dropped", {0, 0, 1, 0, 0, 0, 1, 0xaa}, {{0xaa}}},
        {"last unit keeps its trailing zeros", {0, 0, 1, 0xaa, 0, 0}, {{0xaa, 0, 0}}},
        {"emulation prevention kept", {0, 0, 1, 0x65, 0, 0, 3, 1, 0x44}, {{0x65, 0, 0, 3, 1, 0x44}}},
        {"bytes before the first start code ignored", {0xcc, 0xdd, 0, 0, 1, 0xaa}, {{0xaa}}},
        {"no start code", {0xaa, 0xbb, 0xcc, 0xdd}, {}},
        {"only a start code", {0, 0, 1}, {}},
        {"two bytes", {0, 1}, {}},
        {"empty", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(units(c.stream), c.expected) << c.name;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kStart4{0, 0, 0, 1}, kStart3{0, 0, 1};

TEST(PackAccessUnit, H264KeyFrameMovesParameterSetsAndDropsTheDelimiter) {
    const Bytes sps{0x67, 0x4d, 0x00, 0x1f, 0xab}, pps{0x68, 0xee, 0x3c, 0x80}, idr{0x65, 0x88, 0x84, 0x00, 0x21};
    const Bytes stream = cat({kStart4, {0x09, 0xf0}, kStart4, sps, kStart4, pps, kStart3, idr});
    const EncodedAccessUnit au = packAccessUnit(stream.data(), stream.size(), false);
    EXPECT_EQ(au.parameterSets, (std::vector<Bytes>{sps, pps}));
    EXPECT_EQ(au.payload, cat({{0, 0, 0, 5}, idr}));
    EXPECT_TRUE(au.keyFrame);
}

TEST(PackAccessUnit, H264OtherPicturesKeepEveryOtherUnitInOrder) {
    const Bytes sei{0x06, 0x05, 0x01}, slice1{0x41, 0x9a, 0x02}, slice2{0x01, 0x9b};
    const Bytes stream = cat({kStart4, {0x09, 0x30}, kStart4, sei, kStart3, slice1, kStart3, slice2});
    const EncodedAccessUnit au = packAccessUnit(stream.data(), stream.size(), false);
    EXPECT_TRUE(au.parameterSets.empty());
    EXPECT_EQ(au.payload, cat({{0, 0, 0, 3}, sei, {0, 0, 0, 3}, slice1, {0, 0, 0, 2}, slice2}));
    EXPECT_FALSE(au.keyFrame);
}

TEST(PackAccessUnit, HevcTypesReadFromBitsOneToSix) {
    const Bytes aud{0x46, 0x01, 0x50}, vps{0x40, 0x01, 0x0c}, sps{0x42, 0x01, 0x01}, pps{0x44, 0x01, 0xc1};
    const Bytes trail{0x02, 0x01, 0xd0};
    const struct {
        uint8_t firstByte;
        bool key;
    } pictures[] = {{16 << 1, true}, {19 << 1, true}, {21 << 1, true}, {(21 << 1) | 1, true}, {22 << 1, false},
                    {15 << 1, false}, {1 << 1, false}};
    for (const auto& p : pictures) {
        const Bytes picture{p.firstByte, 0x01, 0xaf};
        const Bytes stream = cat({kStart4, aud, kStart4, vps, kStart4, sps, kStart4, pps, kStart3, picture, kStart3, trail});
        const EncodedAccessUnit au = packAccessUnit(stream.data(), stream.size(), true);
        EXPECT_EQ(au.parameterSets, (std::vector<Bytes>{vps, sps, pps})) << int(p.firstByte);
        EXPECT_EQ(au.payload, cat({{0, 0, 0, 3}, picture, {0, 0, 0, 3}, trail})) << int(p.firstByte);
        EXPECT_EQ(au.keyFrame, p.key) << int(p.firstByte);
    }
    // The same bytes read as H.264 are other types altogether (0x46 & 0x1f = 6: SEI).
    const Bytes stream = cat({kStart4, aud});
    EXPECT_EQ(packAccessUnit(stream.data(), stream.size(), false).payload, cat({{0, 0, 0, 3}, aud}));
}

TEST(LengthPrefixedToAnnexB, ByteTable) {
    const std::vector<Bytes> sets{{0x67, 0x42}, {0x68}};
    const struct {
        const char* name;
        Bytes payload;
        int lengthSize;
        bool withSets;
        Bytes expected;
    } cases[] = {
        {"4-byte lengths", {0, 0, 0, 2, 0x65, 0x11, 0, 0, 0, 1, 0x41}, 4, false,
         {0, 0, 0, 1, 0x65, 0x11, 0, 0, 0, 1, 0x41}},
        {"parameter sets first", {0, 0, 0, 1, 0x65}, 4, true, {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x65}},
        {"1-byte lengths", {2, 0x65, 0x11, 1, 0x41}, 1, false, {0, 0, 0, 1, 0x65, 0x11, 0, 0, 0, 1, 0x41}},
        {"2-byte lengths", {0, 1, 0x65, 0, 1, 0x41}, 2, false, {0, 0, 0, 1, 0x65, 0, 0, 0, 1, 0x41}},
        {"3-byte lengths", {0, 0, 1, 0x65}, 3, false, {0, 0, 0, 1, 0x65}},
        {"size 0 reads 4 bytes", {0, 0, 0, 1, 0x65}, 0, false, {0, 0, 0, 1, 0x65}},
        {"size 7 reads 4 bytes", {0, 0, 0, 1, 0x65}, 7, false, {0, 0, 0, 1, 0x65}},
        {"zero length ends", {0, 0, 0, 1, 0xaa, 0, 0, 0, 0, 0, 0, 0, 1, 0xbb}, 4, false, {0, 0, 0, 1, 0xaa}},
        {"length past the end keeps the prefix", {0, 0, 0, 1, 0xaa, 0, 0, 0, 9, 0xbb}, 4, false, {0, 0, 0, 1, 0xaa}},
        {"length near 2^32", {0, 0, 0, 1, 0xaa, 0xff, 0xff, 0xff, 0xff, 0xbb}, 4, false, {0, 0, 0, 1, 0xaa}},
        {"emulation prevention kept", {0, 0, 0, 4, 0x65, 0, 0, 3}, 4, false, {0, 0, 0, 1, 0x65, 0, 0, 3}},
        {"trailing part of a length ignored", {0, 0, 0, 1, 0xaa, 0, 0}, 4, false, {0, 0, 0, 1, 0xaa}},
        {"shorter than one length", {0, 0, 1}, 4, true, {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68}},
        {"empty", {}, 4, false, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lengthPrefixedToAnnexB(c.payload, c.lengthSize, c.withSets ? &sets : nullptr), c.expected) << c.name;
    }
}

TEST(LengthPrefixedToAnnexB, UndoesPackAccessUnit) {
    const Bytes sps{0x67, 0x4d, 0, 0x1f}, pps{0x68, 0xee}, idr{0x65, 0, 0, 3, 1, 0x22}, sei{0x06, 0x01};
    const Bytes stream = cat({kStart4, {0x09, 0xf0}, kStart4, sps, kStart4, pps, kStart3, sei, kStart3, idr});
    const EncodedAccessUnit au = packAccessUnit(stream.data(), stream.size(), false);
    const Bytes annexB = lengthPrefixedToAnnexB(au.payload, 4, &au.parameterSets);
    EXPECT_EQ(annexB, cat({kStart4, sps, kStart4, pps, kStart4, sei, kStart4, idr}));
}

TEST(StreamHeader, EncodesTheWireLayout) {
    StreamHeader h;
    h.width = 1920;
    h.height = 1080;
    h.parameterSets = {{0x67, 0x4d}, {}, {0x68}};
    EXPECT_EQ(StreamHeader::encode(h), (Bytes{1, 4, 0, 0, 0x07, 0x80, 0, 0, 0x04, 0x38, 3, 0, 0, 0, 2, 0x67, 0x4d,
                                              0, 0, 0, 0, 0, 0, 0, 1, 0x68}));
    const StreamHeader back = StreamHeader::read(StreamHeader::encode(h));
    EXPECT_EQ(back.codec, 1);
    EXPECT_EQ(back.nalLengthSize, 4);
    EXPECT_EQ(back.width, 1920u);
    EXPECT_EQ(back.height, 1080u);
    EXPECT_EQ(back.parameterSets, h.parameterSets);
}

TEST(StreamHeader, ReadsExactlyElevenBytesWithoutSetsAndIgnoresWhatFollows) {
    const StreamHeader h = StreamHeader::read(Bytes{2, 3, 0, 0, 1, 0, 0, 0, 0, 64, 0});
    EXPECT_EQ(h.codec, 2);
    EXPECT_EQ(h.nalLengthSize, 3);
    EXPECT_EQ(h.width, 256u);
    EXPECT_EQ(h.height, 64u);
    EXPECT_TRUE(h.parameterSets.empty());
    const StreamHeader extra = StreamHeader::read(Bytes{1, 4, 0, 0, 0, 2, 0, 0, 0, 2, 1, 0, 0, 0, 1, 0x67, 0xde, 0xad});
    EXPECT_EQ(extra.parameterSets, (std::vector<Bytes>{{0x67}}));
}

TEST(StreamHeader, ShortPayloadsAreRefused) {
    const Bytes cases[] = {
        {},
        {1, 4, 0, 0, 0, 2, 0, 0, 0, 2},                                // ends before the count
        {1, 4, 0, 0, 0, 2, 0, 0, 0, 2, 2, 0, 0, 0, 1, 0x67},          // second set missing
        {1, 4, 0, 0, 0, 2, 0, 0, 0, 2, 2, 0, 0, 0, 1, 0x67, 0, 0, 0},  // second length cut off
        {1, 4, 0, 0, 0, 2, 0, 0, 0, 2, 1, 0, 0, 0, 3, 0x67, 0x42},    // set cut off
        {1, 4, 0, 0, 0, 2, 0, 0, 0, 2, 1, 0xff, 0xff, 0xff, 0xff, 1},  // length near 2^32
    };
    for (const Bytes& c : cases) expectShort([&] { StreamHeader::read(c); });
}

TEST(StreamHeader, RefusesMoreSetsThanTheCountHolds) {
    StreamHeader h;
    h.parameterSets.assign(255, Bytes{0x68});
    const Bytes ok = StreamHeader::encode(h);
    ASSERT_EQ(ok.size(), 11u + 255 * 5);
    EXPECT_EQ(ok[10], 255);
    EXPECT_EQ(StreamHeader::read(ok).parameterSets.size(), 255u);
    h.parameterSets.push_back(Bytes{0x68});
    EXPECT_TRUE(StreamHeader::encode(h).empty());
}

}  // namespace

#include <gtest/gtest.h>

#include <functional>
#include <type_traits>
#include <vector>

#include "core/wire.h"
#include "support/short_message.h"

namespace {

TEST(ByteReader, ShortReadsThrowWithoutMoving) {
    std::vector<uint8_t> empty;
    ByteReader r0(empty);
    expectShort([&] { r0.u8(); });

    std::vector<uint8_t> three{0xa1, 0xb2, 0xc3};
    ByteReader r(three);
    expectShort([&] { r.u32(); });
    EXPECT_EQ(r.pos(), 0u);
    EXPECT_EQ(r.u8(), 0xa1);
    expectShort([&] { r.u64(); });
    expectShort([&] { r.bytes(3); });
    EXPECT_EQ(r.u16(), 0xb2c3);
    expectShort([&] { r.u16(); });
    EXPECT_TRUE(r.rest().empty());
}

// A reader keeps only a pointer: one made from a temporary would read freed memory.
static_assert(std::is_constructible_v<ByteReader, const std::vector<uint8_t>&>);
static_assert(!std::is_constructible_v<ByteReader, std::vector<uint8_t>&&>);
static_assert(!std::is_constructible_v<ByteReader, std::vector<uint8_t>>);

TEST(ByteReader, LengthPrefixedRejectsLengthBeyondPayload) {
    std::vector<uint8_t> p{0, 0, 0, 5, 1, 2};
    ByteReader r(p);
    expectShort([&] { r.lengthPrefixed(); });
    EXPECT_EQ(r.pos(), 0u);
    std::vector<uint8_t> huge{0xff, 0xff, 0xff, 0xff, 1};
    ByteReader r2(huge);
    expectShort([&] { r2.lengthPrefixed(); });
    std::vector<uint8_t> ok{0, 0, 0, 2, 7, 8, 9};
    ByteReader r3(ok);
    EXPECT_EQ(r3.lengthPrefixed(), (std::vector<uint8_t>{7, 8}));
    EXPECT_EQ(r3.u8(), 9);
}

TEST(ByteWriter, BigEndianFieldsRoundTrip) {
    std::vector<uint8_t> out;
    ByteWriter w(out);
    w.u32(0x01020304);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4}));
    w.f32(0.5f);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 4, out.end()), (std::vector<uint8_t>{0x3f, 0, 0, 0}));
    w.u8(0xfe);
    w.u16(0xbeef);
    w.u64(0x0102030405060708ULL);
    const uint8_t raw[2] = {9, 8};
    w.lengthPrefixed(raw, 2);
    ByteReader r(out);
    EXPECT_EQ(r.u32(), 0x01020304u);
    EXPECT_EQ(r.f32(), 0.5f);
    EXPECT_EQ(r.u8(), 0xfe);
    EXPECT_EQ(r.u16(), 0xbeef);
    EXPECT_EQ(r.u64(), 0x0102030405060708ULL);
    EXPECT_EQ(r.lengthPrefixed(), (std::vector<uint8_t>{9, 8}));
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(FixedBuffers, BothByteOrders) {
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 0xf8};
    EXPECT_EQ(loadBe32(bytes), 0x01020304u);
    EXPECT_EQ(loadBe64(bytes), 0x01020304050607f8ULL);
    EXPECT_EQ(loadLe32(bytes), 0x04030201u);
    EXPECT_EQ(loadLe64(bytes), 0xf807060504030201ULL);
    uint8_t out[8] = {};
    storeLe64(out, 0xf807060504030201ULL);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>(bytes, bytes + 8));
    storeLe32(out, 0xa1b2c3d4u);
    storeBe32(out + 4, 0xa1b2c3d4u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{0xd4, 0xc3, 0xb2, 0xa1, 0xa1, 0xb2, 0xc3, 0xd4}));
}

TEST(ProtoErrors, HierarchyAndTexts) {
    try { throw BadPassword(); } catch (const ProtoError& e) { EXPECT_STREQ(e.what(), "비밀번호가 맞지 않습니다"); }
    try { throw PasswordRefused(); } catch (const ProtoError& e) {
        EXPECT_STREQ(e.what(), "원격 컴퓨터가 비밀번호 접속을 받지 않습니다");
    }
    try { throw ProtoError("x"); } catch (const std::runtime_error& e) { EXPECT_STREQ(e.what(), "x"); }
    EXPECT_THROW(throw BadPassword(), std::runtime_error);
    EXPECT_THROW(throw PasswordRefused(), std::runtime_error);
}

}  // namespace

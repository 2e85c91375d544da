#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/util.h"

namespace {

Bytes b(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(Base64, EncodesRfc4648Vectors) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (auto& [plain, enc] : cases) {
        EXPECT_EQ(base64Encode(b(plain)), enc);
        Bytes out;
        EXPECT_TRUE(base64Decode(enc, out));
        EXPECT_EQ(out, b(plain)) << enc;
    }
}

TEST(Base64, DecodeRules) {
    struct Case { const char* text; bool ok; Bytes out; };
    const Case cases[] = {
        {"", true, {}},
        {"QQ==QQ", true, {0x41}},             // the first "=" ends decoding
        {"QQ", true, {0x41}},                 // no padding needed
        {"Q", true, {}},                      // leftover bits dropped
        {" Z m\t9\r\nv ", true, b("foo")},    // whitespace skipped
        {"-_-_", true, {0xfb, 0xff, 0xbf}},   // url alphabet
        {"+/-_", true, {0xfb, 0xff, 0xbf}},   // alphabets mixed
        {"Zm*9", false, {0x66}},              // bad character: bytes so far stay
        {"Zm\x80v", false, {0x66}},           // a high byte is a bad character, not a digit
    };
    for (const auto& c : cases) {
        Bytes out{1, 2, 3};  // cleared first
        EXPECT_EQ(base64Decode(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.out) << c.text;
    }
}

TEST(Base64, UrlEncodingHasNoPadding) {
    EXPECT_EQ(base64UrlEncode(Bytes{0xfb, 0xff}), "-_8");
    EXPECT_EQ(base64UrlEncode(b("f")), "Zg");
}

TEST(Hex, EncodeAndDecode) {
    EXPECT_EQ(hexEncode(Bytes{0x00, 0xab, 0xff, 0x10}), "00abff10");
    EXPECT_EQ(hexDecode("abc"), Bytes{0xab});  // odd length: last character ignored
    EXPECT_EQ(hexDecode("0g"), Bytes{});       // bad digit empties everything
    EXPECT_EQ(hexDecode("00ABff"), (Bytes{0x00, 0xab, 0xff}));
    EXPECT_EQ(hexDecode("00ab\xc3\xa9"), Bytes{});
}

TEST(Trim, RemovesControlAndBlankBytesOnly) {
    EXPECT_EQ(trim(" \t abc \r\n"), "abc");
    EXPECT_EQ(trim("    "), "");
    EXPECT_EQ(trim(""), "");
    // Bytes of 0x80 and above are text (UTF-8), not blanks, even where char is signed.
    EXPECT_EQ(trim("\xea\xb0\x80 "), "\xea\xb0\x80");
    EXPECT_EQ(trim(" \xff\x80"), "\xff\x80");
}

TEST(ConstantTimeEqual, ComparesWholeRange) {
    uint8_t a[40], c[40];
    for (int i = 0; i < 40; ++i) a[i] = c[i] = uint8_t(i * 7);
    EXPECT_TRUE(constantTimeEqual(a, c, 40));
    EXPECT_TRUE(constantTimeEqual(a, c, 0));
    for (int pos : {0, 15, 16, 31, 39}) {
        c[pos] ^= 0x80;
        EXPECT_FALSE(constantTimeEqual(a, c, 40)) << pos;
        EXPECT_TRUE(constantTimeEqual(a, c, size_t(pos)));
        c[pos] ^= 0x80;
    }
}

TEST(RandomBytes, FillsAndRejectsNegativeLength) {
    uint8_t buf[64] = {};
    randomBytes(buf, 64);
    int zeros = 0;
    for (uint8_t v : buf) zeros += v == 0;
    EXPECT_LT(zeros, 16);
    uint8_t guard[4] = {9, 9, 9, 9};
    EXPECT_THROW(randomBytes(guard, -1), std::runtime_error);
    EXPECT_EQ(guard[0], 9);
    randomBytes(guard, 0);
    EXPECT_EQ(guard[0], 9);
}

TEST(Clock, SleepAndClocksMoveForward) {
    int64_t t0 = nowNanos();
    sleepMs(0);
    sleepMs(-5);
    sleepMs(2);
    EXPECT_GE(nowNanos() - t0, 2'000'000);
    EXPECT_GT(nowSeconds(), 1.6e9);
}

TEST(Bytes, ConcatAndSpanToString) {
    Bytes x{1, 2}, y{}, z{3};
    EXPECT_EQ(concatBytes({x, y, z}), (Bytes{1, 2, 3}));
    EXPECT_EQ(spanToString(b("a\0b")), std::string("a\0b", 1));
    EXPECT_EQ(spanToString(asBytes(std::string("a\0b", 3))), std::string("a\0b", 3));
}

TEST(CheckedTrunc, HandlesNonFiniteAndHugeValues) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case { double v; int64_t lo, hi, fb, want; };
    const Case cases[] = {
        {std::nan(""), 0, 100, 7, 7},
        {inf, 0, 100, 7, 100},
        {-inf, 0, 100, 7, 0},
        {1e300, 0, 65535, 1, 65535},
        {-1e300, -5, 5, 1, -5},
        {42.9, 0, 100, 7, 42},
        {-42.9, -100, 100, 7, -42},
        {1e300, INT64_MIN, INT64_MAX, 0, INT64_MAX},
        {-1e300, INT64_MIN, INT64_MAX, 0, INT64_MIN},
        {9007199254740993.0, 0, 9007199254740992, 0, 9007199254740992},
    };
    for (const auto& c : cases) EXPECT_EQ(checkedTrunc(c.v, c.lo, c.hi, c.fb), c.want) << c.v;
}

TEST(Log, WritesTimestampedLinesToFileAndStderrWhenUnset) {
    std::string saved = logPath();
    std::string path = ::testing::TempDir() + "tavrel_log_test.log";
    std::remove(path.c_str());
    setLogPath(path);
    logLine("첫 줄");
    logLine("second");
    // A text from the network with line breaks in it stays one line of its own.
    logLine("중계 서버: x\n2026-01-01 00:00:00 forged\r\nend");
    setLogPath(saved);
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 0);
    EXPECT_NE(text.find(" 중계 서버: x 2026-01-01 00:00:00 forged  end\n"), std::string::npos);
    // "YYYY-MM-DD HH:MM:SS message"
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[10], ' ');
    EXPECT_EQ(text[13], ':');
    EXPECT_EQ(text.substr(20, text.find('\n') - 20), "첫 줄");
    in.close();
    std::remove(path.c_str());

    setLogPath("");
    ::testing::internal::CaptureStderr();
    logLine("to stderr");
    std::string err = ::testing::internal::GetCapturedStderr();
    setLogPath(saved);
    ASSERT_GE(err.size(), 20u);
    EXPECT_EQ(err.substr(19), " to stderr\n");
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Log, AFullLogMovesToOldAndNoLineIsLost) {
    const std::string saved = logPath();
    const std::string path = ::testing::TempDir() + "tavrel_log_cap_test.log";
    const std::string old = path + ".old";
    std::remove(path.c_str());
    std::remove(old.c_str());
    constexpr uint64_t kCap = 2000;
    constexpr size_t kLongestLine = 19 + 1 + 40 + 1;  // time, blank, message, line feed
    setLogPath(path);
    setLogSizeCap(kCap);
    int written = 0;
    int moves = 0;
    size_t lastOldSize = 0;
    // Far past the cap, twice over: the current file never holds more than the cap and one line.
    while (moves < 2 && written < 1000) {
        const int n = written++;
        logLine("줄 " + std::to_string(n) + " " + std::string(size_t(n % 30), 'x'));
        const size_t size = fileText(path).size();
        EXPECT_LT(size, kCap) << written;  // the line that reached the cap went with the file
        const size_t oldSize = fileText(old).size();
        if (oldSize != lastOldSize) {
            ++moves;
            EXPECT_GE(oldSize, kCap);
            EXPECT_LT(oldSize, kCap + kLongestLine);
            lastOldSize = oldSize;
        }
    }
    logLine("마지막 줄");
    ++written;
    setLogSizeCap(kLogSizeCap);
    setLogPath(saved);
    ASSERT_EQ(moves, 2);
    // The older file and the current one hold the last lines in order, with nothing missing
    // between them.
    std::istringstream lines(fileText(old) + fileText(path));
    std::vector<std::string> messages;
    for (std::string line; std::getline(lines, line);) messages.push_back(line.substr(20));
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages.back(), "마지막 줄");
    const int first = std::stoi(messages.front().substr(std::string("줄 ").size()));
    for (size_t i = 0; i + 1 < messages.size(); ++i)
        EXPECT_EQ(messages[i].rfind("줄 " + std::to_string(first + int(i)) + " ", 0), 0u) << messages[i];
    EXPECT_EQ(first + int(messages.size()), written);
    std::remove(path.c_str());
    std::remove(old.c_str());
}

}  // namespace

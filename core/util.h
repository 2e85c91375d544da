// Log, clocks, random bytes and small text and byte helpers shared by every component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

// The file at a UTF-8 path opened for appending in binary mode; null when it cannot be.
std::FILE* openAppendFile(const std::string& path);

// Appends "YYYY-MM-DD HH:MM:SS message" to the log file (standard error when no path is set).
void logLine(const std::string& message);
// The log stays under a size: the line that reaches it is the last one of the file, which then
// moves to the same name with ".old" appended (replacing the one before) and a new file starts.
inline constexpr uint64_t kLogSizeCap = 8u * 1024 * 1024;
void setLogPath(const std::string& path);
// Tests set a small cap; the program keeps kLogSizeCap.
void setLogSizeCap(uint64_t bytes);
std::string logPath();

int64_t nowNanos();     // steady clock, for intervals and time-outs
double nowSeconds();    // wall clock, seconds since 1970, for stored times
void sleepMs(int ms);   // returns at once for 0 or less

// Fills buf from the system's preferred generator; throws std::runtime_error("난수 실패").
void randomBytes(void* buf, int length);

std::string hexEncode(const uint8_t* data, size_t length);
std::string hexEncode(ByteSpan data);
Bytes hexDecode(const std::string& text);
// 0 to 15 for a hex digit of either case, else -1.
int hexDigitValue(unsigned char c);
std::string base64Encode(ByteSpan data);
std::string base64UrlEncode(ByteSpan data);
bool base64Decode(const std::string& text, Bytes& out);

bool constantTimeEqual(const uint8_t* a, const uint8_t* b, size_t length);
std::string trim(const std::string& text);
Bytes concatBytes(std::initializer_list<ByteSpan> parts);
std::string spanToString(ByteSpan bytes);
inline ByteSpan asBytes(const std::string& s) {
    return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
// The bytes read as text without a copy; valid as long as they are.
inline std::string_view asText(ByteSpan bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The one way a double from the wire or a file becomes an integer: truncates toward zero,
// clamps to [lo, hi] (infinities included) and gives `fallback` for NaN.
int64_t checkedTrunc(double value, int64_t lo, int64_t hi, int64_t fallback);

#include "core/util.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>

#include "core/text.h"
#else
#include <cerrno>
#include <sys/random.h>
#endif

namespace {

// Detached threads may log while the process exits, so the log state is never destroyed.
struct LogState {
    std::mutex mutex;
    std::string path;
    uint64_t cap = kLogSizeCap;
};
LogState& logState() {
    static LogState* state = new LogState;
    return *state;
}

// Local time as "%Y-%m-%d %H:%M:%S"; a failed conversion gives a fixed placeholder
// rather than printing whatever the struct held.
std::string timestamp() {
    std::tm tmv{};
    bool ok;
#ifdef _WIN32
    __time64_t t = _time64(nullptr);
    ok = _localtime64_s(&tmv, &t) == 0;
#else
    std::time_t t = std::time(nullptr);
    ok = localtime_r(&t, &tmv) != nullptr;
#endif
    char buf[32];
    if (!ok || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv) == 0)
        return "0000-00-00 00:00:00";
    return buf;
}

// Moves the full log aside to its ".old" name, replacing an older one. A failed move leaves the
// log where it is: it goes on growing rather than losing lines.
void retireLogFile(const std::string& path) {
    const std::string old = path + ".old";
#ifdef _WIN32
    const std::wstring from = utf8ToWide(path), to = utf8ToWide(old);
    if (!from.empty() && !to.empty()) MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
#else
    std::rename(path.c_str(), old.c_str());
#endif
}

}  // namespace

std::FILE* openAppendFile(const std::string& path) {
#ifdef _WIN32
    std::wstring wide = utf8ToWide(path);
    if (wide.empty()) return nullptr;
    return _wfopen(wide.c_str(), L"ab");
#else
    return std::fopen(path.c_str(), "ab");
#endif
}

void logLine(const std::string& message) {
    // Messages carry texts from peers and the relay; a line break in one would start a forged
    // line of its own, so every message stays on its one line.
    std::string oneLine = message;
    for (char& c : oneLine)
        if (c == '\n' || c == '\r') c = ' ';
    LogState& st = logState();
    std::lock_guard<std::mutex> lock(st.mutex);
    std::string when = timestamp();
    std::FILE* f = st.path.empty() ? nullptr : openAppendFile(st.path);
    if (f) {
        std::fprintf(f, "%s %s\n", when.c_str(), oneLine.c_str());
        // Opened for appending, the position is the file's size.
        const long size = std::ftell(f);
        std::fclose(f);
        if (size >= 0 && uint64_t(size) >= st.cap) retireLogFile(st.path);
    } else {
        std::fprintf(stderr, "%s %s\n", when.c_str(), oneLine.c_str());
    }
}

void setLogPath(const std::string& path) {
    LogState& st = logState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.path = path;
}

void setLogSizeCap(uint64_t bytes) {
    LogState& st = logState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.cap = bytes;
}

std::string logPath() {
    LogState& st = logState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return st.path;
}

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double nowSeconds() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

void sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void randomBytes(void* buf, int length) {
    if (length < 0) throw std::runtime_error("난수 실패");
    if (length == 0) return;
#ifdef _WIN32
    NTSTATUS st = BCryptGenRandom(nullptr, static_cast<PUCHAR>(buf), ULONG(length),
                                  BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (st < 0) throw std::runtime_error("난수 실패");
#else
    auto* p = static_cast<uint8_t*>(buf);
    size_t left = size_t(length);
    while (left > 0) {
        ssize_t got = getrandom(p, left, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("난수 실패");
        }
        p += got;
        left -= size_t(got);
    }
#endif
}

std::string hexEncode(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

std::string hexEncode(ByteSpan data) { return hexEncode(data.data(), data.size()); }

int hexDigitValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Bytes hexDecode(const std::string& text) {
    Bytes out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        int hi = hexDigitValue(static_cast<unsigned char>(text[i]));
        int lo = hexDigitValue(static_cast<unsigned char>(text[i + 1]));
        if (hi < 0 || lo < 0) return {};
        out.push_back(uint8_t((hi << 4) | lo));
    }
    return out;
}

std::string base64Encode(ByteSpan data) {
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out.push_back(abc[v >> 18]);
        out.push_back(abc[(v >> 12) & 63]);
        out.push_back(abc[(v >> 6) & 63]);
        out.push_back(abc[v & 63]);
    }
    size_t left = data.size() - i;
    if (left == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        out.push_back(abc[v >> 18]);
        out.push_back(abc[(v >> 12) & 63]);
        out += "==";
    } else if (left == 2) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        out.push_back(abc[v >> 18]);
        out.push_back(abc[(v >> 12) & 63]);
        out.push_back(abc[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

std::string base64UrlEncode(ByteSpan data) {
    std::string s = base64Encode(data);
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '+') out.push_back('-');
        else if (c == '/') out.push_back('_');
        else if (c != '=') out.push_back(c);
    }
    return out;
}

bool base64Decode(const std::string& text, Bytes& out) {
    out.clear();
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        int v;
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+' || c == '-') v = 62;
        else if (c == '/' || c == '_') v = 63;
        else if (c == '=') return true;
        else return false;
        acc = ((acc << 6) | uint32_t(v)) & 0xFFFFFF;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(uint8_t(acc >> bits));
        }
    }
    return true;
}

bool constantTimeEqual(const uint8_t* a, const uint8_t* b, size_t length) {
    uint8_t diff = 0;
    for (size_t i = 0; i < length; ++i) diff |= uint8_t(a[i] ^ b[i]);
    // Keep the compiler from turning the loop into an early exit.
    volatile uint8_t sink = diff;
    return sink == 0;
}

std::string trim(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 0x20) --e;
    return text.substr(b, e - b);
}

Bytes concatBytes(std::initializer_list<ByteSpan> parts) {
    size_t n = 0;
    for (auto p : parts) n += p.size();
    Bytes out;
    out.reserve(n);
    for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string spanToString(ByteSpan bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

int64_t checkedTrunc(double value, int64_t lo, int64_t hi, int64_t fallback) {
    if (std::isnan(value)) return fallback;
    // Compare as doubles before converting: the conversion of an out-of-range value is undefined.
    if (value <= static_cast<double>(lo)) return lo;
    if (value >= static_cast<double>(hi)) return hi;
    int64_t r = static_cast<int64_t>(value);  // truncates toward zero
    return r < lo ? lo : r > hi ? hi : r;
}

// The Windows half of the text helpers: the system's UTF-8 converters and normalisation.
#include "core/text.h"

#include <windows.h>

#include <climits>

std::wstring utf8ToWide(const std::string& text) {
    if (text.empty() || text.size() > size_t(INT_MAX)) return std::wstring();
    int length = int(text.size());
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(size_t(n), L'\0');
    n = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), n);
    if (n <= 0) return std::wstring();
    out.resize(size_t(n));
    return out;
}

std::string wideToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > size_t(INT_MAX)) return std::string();
    int length = int(text.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(size_t(n), '\0');
    n = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), n, nullptr, nullptr);
    if (n <= 0) return std::string();
    out.resize(size_t(n));
    return out;
}

namespace {

// Overwrites a buffer of wide characters with zeros when the scope ends, however it ends.
class WipeOnExit {
public:
    explicit WipeOnExit(std::wstring& text) : data_(text.data()), size_(text.size()) {}
    ~WipeOnExit() {
        volatile wchar_t* p = data_;
        for (size_t i = 0; i < size_; ++i) p[i] = 0;
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    wchar_t* data_;
    size_t size_;
};

}  // namespace

std::string normalizeUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    if (text.size() > size_t(INT_MAX)) return wideToUtf8(text);
    int length = int(text.size());
    int estimate = NormalizeString(NormalizationC, text.data(), length, nullptr, 0);
    if (estimate <= 0) return wideToUtf8(text);
    // The first figure is only an estimate; when it is short the call says so with a negative
    // new estimate, and stopping there would store the text un-normalised.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::wstring out(size_t(estimate), L'\0');
        WipeOnExit wipe(out);  // the text is a password: its normalised copy must not reach the heap
        int n = NormalizeString(NormalizationC, text.data(), length, out.data(), estimate);
        if (n > 0) {
            out.resize(size_t(n));  // shorter: the same buffer, which the wipe clears in full
            return wideToUtf8(out);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        int next = n < 0 ? -n : 0;
        if (next <= estimate) next = estimate > INT_MAX / 2 ? INT_MAX : estimate * 2;
        if (next == estimate) break;
        estimate = next;
    }
    return wideToUtf8(text);
}

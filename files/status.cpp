#include "files/status.h"

#include <cstdio>

#include "core/config/store.h"

namespace {

#ifdef _WIN32
constexpr const wchar_t* kLastResortFolder = L"C:\\Tavrel";
#else
constexpr const wchar_t* kLastResortFolder = L"/tmp/Tavrel";
#endif

}  // namespace

ReceiveFolderChoice chooseDownloadsFolder(const std::wstring& knownFolder, const std::wstring& profile) {
    if (!knownFolder.empty()) return {knownFolder, false};
    if (!profile.empty()) return {profile + kPathSeparator + L"Downloads", true};
    return {kLastResortFolder, true};
}

std::string formatSize(uint64_t bytes) {
    char buf[32];
    if (bytes < 1000) {
        std::snprintf(buf, sizeof buf, "%llu바이트", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1000000) {
        std::snprintf(buf, sizeof buf, "%.0f KB", double(bytes) / 1000.0);
    } else if (bytes < 1000000000) {
        std::snprintf(buf, sizeof buf, "%.1f MB", double(bytes) / 1000000.0);
    } else {
        std::snprintf(buf, sizeof buf, "%.2f GB", double(bytes) / 1000000000.0);
    }
    return buf;
}

std::string formatProgress(uint64_t index, uint64_t count, uint64_t done, uint64_t total, const char* verb) {
    const int32_t percent = total == 0 ? 100 : int32_t(done * 100 / total);
    return "파일 " + std::string(verb ? verb : "") + " 중 " + std::to_string(index + 1) + "/" +
           std::to_string(count) + " · " + std::to_string(percent) + "% (" + formatSize(done) + " / " +
           formatSize(total) + ")";
}

// Texts of the file transfer for people: error texts, byte counts, the progress line, and the
// folder where received files go by default. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <string>

// The system's text of a Windows error number, without trailing line breaks, blanks and dots;
// "오류 " and the number when the system has none (always so natively).
std::string winErrorText(uint32_t code);

// Received files go here unless the owner says otherwise: the user's Downloads known folder;
// without one, "Downloads" under the profile folder (USERPROFILE; HOME natively), created;
// without that either, a fixed folder, created.
std::wstring downloadsFolder();

// The choice downloadsFolder makes from what the system gave it (empty when nothing): the folder,
// and whether it is to be created.
struct ReceiveFolderChoice {
    std::wstring folder;
    bool create = false;
};
ReceiveFolderChoice chooseDownloadsFolder(const std::wstring& knownFolder, const std::wstring& profile);

// Decimal units: "999바이트", "1 KB", "1.0 MB", "1.23 GB"; the unit goes by the exact count.
std::string formatSize(uint64_t bytes);

// "파일 <verb> 중 2/5 · 42% (1.3 MB / 3.1 MB)"; 100% when total is 0.
std::string formatProgress(uint64_t index, uint64_t count, uint64_t done, uint64_t total, const char* verb);

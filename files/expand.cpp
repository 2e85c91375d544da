#include "files/expand.h"

#include <utility>

#include "core/config/store.h"
#include "files/fileio.h"
#include "files/paths.h"

namespace {

bool isSeparator(wchar_t c) { return c == L'/' || c == kPathSeparator; }

}  // namespace

std::string tooManyFilesText(size_t limit) {
    std::string digits = std::to_string(limit), grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return "보낼 파일이 너무 많습니다 (" + grouped + "개 넘음)";
}

bool addFolderFiles(const std::wstring& folder, const std::string& relPrefix, std::vector<OutgoingFile>& out,
                    size_t limit) {
    // An explicit stack in place of recursion: a deep tree cannot exhaust the thread's stack.
    struct Level {
        std::wstring folder;
        std::string relPath;
        std::vector<FolderEntry> entries;
        size_t next = 0;
    };
    std::vector<Level> stack;
    auto enter = [&stack](std::wstring path, std::string rel) {
        Level level{std::move(path), std::move(rel), {}, 0};
        if (listFolder(longPath(level.folder), level.entries)) stack.push_back(std::move(level));
    };
    enter(folder, relPrefix);
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.entries.size()) {
            stack.pop_back();
            continue;
        }
        const FolderEntry entry = std::move(level.entries[level.next++]);
        if (entry.name == L"." || entry.name == L"..") continue;
        if (entry.attributes & (kAttrHidden | kAttrSystem | kAttrReparsePoint)) continue;
        std::wstring path = joinPath(level.folder, entry.name);
        std::string rel = level.relPath + "/" + utf8FromWide(entry.name);
        if (entry.attributes & kAttrDirectory) {
            enter(std::move(path), std::move(rel));
            continue;
        }
        if (out.size() >= limit) return false;
        out.push_back({std::move(path), std::move(rel), entry.size});
    }
    return true;
}

std::vector<OutgoingFile> expandBatch(const std::vector<std::wstring>& paths, size_t limit, bool* tooMany) {
    if (tooMany) *tooMany = false;
    std::vector<OutgoingFile> out;
    for (std::wstring path : paths) {
        while (path.size() > kRootLength && isSeparator(path.back())) path.pop_back();
        FileInfo info;
        if (!fileInfo(longPath(path), info)) continue;
        std::string topName = utf8FromWide(fileNamePart(path));
        bool fits = true;
        if (info.attributes & kAttrDirectory) {
            fits = addFolderFiles(path, topName, out, limit);
        } else if (out.size() < limit) {
            out.push_back({path, std::move(topName), info.size});
        } else {
            fits = false;
        }
        if (!fits) {
            if (tooMany) *tooMany = true;
            return {};
        }
    }
    return out;
}

std::vector<std::wstring> existingPaths(const Json& paths) {
    std::vector<std::wstring> out;
    if (!paths.isArray()) return out;
    for (const Json& item : paths.items) {
        std::wstring path = wideFromUtf8(item.isString() ? item.text : std::string());
        if (!path.empty() && fileAttributes(longPath(path)) != kInvalidAttributes) out.push_back(std::move(path));
        if (out.size() >= kMaxRequestedPaths) break;
    }
    return out;
}

// Outgoing batch expansion: the files and folders a user (or the peer) picked, made into the flat
// list of files the sender sends, each with the relative path the receiver recreates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/json.h"

struct OutgoingFile {
    std::wstring path;      // local path, opened through longPath
    std::string relPath;    // UTF-8, "/"-separated; first component the picked item's name
    uint64_t size = 0;      // at expansion time
};

// Files one batch may hold; a larger selection is not sent at all.
inline constexpr size_t kMaxBatchFiles = 100000;
// The result line of a batch over the limit: "보낼 파일이 너무 많습니다 (100,000개 넘음)".
std::string tooManyFilesText(size_t limit);

// Each picked path in order: trailing separators dropped (a root keeps its own); a path that
// cannot be examined is left out; a file is taken whatever its attributes; a folder brings the
// files below it (addFolderFiles). More than `limit` files give an empty list and set `tooMany`.
std::vector<OutgoingFile> expandBatch(const std::vector<std::wstring>& paths, size_t limit = kMaxBatchFiles,
                                      bool* tooMany = nullptr);

// Appends the files below `folder` depth first in the order the file system lists them (a
// subfolder's files before its later siblings); hidden and system entries and links are neither
// sent nor followed, empty folders add nothing. False, when `out` would pass `limit` files.
bool addFolderFiles(const std::wstring& folder, const std::string& relPrefix, std::vector<OutgoingFile>& out,
                    size_t limit = kMaxBatchFiles);

// Of a Json array, the elements that are strings naming an existing file or folder, in order, at
// most 200. Anything else gives an empty list.
std::vector<std::wstring> existingPaths(const Json& paths);
inline constexpr size_t kMaxRequestedPaths = 200;

#ifdef _WIN32
// The files and folders copied to the clipboard (CF_HDROP), in clipboard order; empty when there
// are none or the clipboard stays busy for about 270 ms.
std::vector<std::wstring> clipboardFiles();
#endif

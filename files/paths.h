// Received file paths and names: the peer's relative path made into safe components under the
// destination folder, free names for clashes, and the long-path form every file call gets.
// Local paths are wide strings separated by kPathSeparator; lengths count UTF-16 units on every
// platform. Whether a path exists is pathExists (core/config/store.h) on its longPath form.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Components a received path may have, and UTF-16 units a component keeps.
inline constexpr size_t kMaxPathComponents = 32;
inline constexpr size_t kMaxComponentUnits = 200;

// Splits a sender's "/"-separated UTF-8 path into cleaned components (empty pieces skipped;
// characters Windows does not allow in names, and direction marks, become "_"; trailing blanks
// and dots removed; device
// names get a leading "_"; long pieces cut). False, with `out` not to be used, for a path with a
// "." or ".." piece, more than 32 pieces, or none.
bool splitReceivedPath(const std::string& path, std::vector<std::wstring>& out);

// `name` when folder/name does not exist, else the first free "stem (n)ext" for n = 2 .. 9999,
// else "stem <milliseconds>ext". The name only, without the folder.
std::wstring uniquePath(const std::wstring& folder, const std::wstring& name);

// The path in the form the file calls take: "\\?\" or "\\?\UNC\" in front on Windows (so that
// paths beyond 260 characters work); natively the path itself.
std::wstring longPath(const std::wstring& path);
// The Windows rule of longPath, on every platform.
std::wstring windowsLongPath(const std::wstring& path);

// The part after the last separator (the whole path without one); the part before it.
std::wstring fileNamePart(const std::wstring& path);
std::wstring folderPart(const std::wstring& path);

// folder + separator + name; no second separator after a folder that ends in one (a drive root
// such as C:\, which the long-path form would refuse doubled).
std::wstring joinPath(const std::wstring& folder, const std::wstring& name);

// UTF-16 units of a wide text (natively a code point above U+FFFF counts two).
size_t utf16Length(const std::wstring& text);

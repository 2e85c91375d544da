// The system's pickers for files and folders to send, and the result of the file-open dialog.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The result buffer of the file-open dialog with several files allowed: zero-terminated strings
// ended by an empty one. One string is the one chosen path; several are a folder and the names
// chosen in it, each joined to the folder. Nothing is read past the buffer's end.
std::vector<std::wstring> parseOpenFileResult(std::wstring_view buffer);

#ifdef _WIN32
// Units of the dialog's result buffer.
inline constexpr size_t kOpenFileBufferUnits = 65536;
// GetOpenFileNameW owned by `owner`, with no filter and OFN_EXPLORER | OFN_ALLOWMULTISELECT |
// OFN_FILEMUSTEXIST and `extraFlags`: the chosen paths; empty when cancelled or failed.
std::vector<std::wstring> pickFilesToOpen(void* owner, const std::wstring& title, uint32_t extraFlags = 0);
// The shell's file-open dialog picking folders (several, file-system ones only) owned by `owner`:
// the chosen folders in order; empty when cancelled or when the dialog cannot be made.
std::vector<std::wstring> pickFolders(void* owner, const std::wstring& title);
#endif

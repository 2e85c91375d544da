// The viewer window's file commands, without Windows: whether a command may run against the
// host, its texts, and what showing the received files opens. The window applies these.
#pragma once

#include <cstdint>
#include <string>

// Texts of the commands.
extern const char* const kOldHostCannotSendText;     // the host lacks "files": sending
extern const char* const kOldHostCannotReceiveText;  // the host lacks "files": receiving
extern const char* const kPreparingSendText;         // "파일 보낼 준비 중…"
extern const char* const kRequestingCopiedText;      // "원격에 복사해 둔 파일을 요청함…"
extern const wchar_t* const kSendFilesPickerTitle;   // "원격 컴퓨터의 다운로드 폴더로 보낼 파일"
extern const wchar_t* const kSendFoldersPickerTitle; // "원격 컴퓨터의 다운로드 폴더로 보낼 폴더"

// A file command needs a connected session; against a host without file transfer it only
// explains why nothing happens.
enum class FileCommandGate { Ignore, OldHost, Run };
FileCommandGate fileCommandGate(bool hasSession, bool connected, bool hostHasFiles);

// What "show received files" hands the shell: Explorer with the last received item selected
// while it exists, else the download folder opened.
struct ShellCall {
    std::wstring verb;  // "" for the default verb
    std::wstring file;
    std::wstring parameters;
    bool operator==(const ShellCall&) const = default;
};
ShellCall showReceivedCall(const std::wstring& lastReceived, bool exists, const std::wstring& downloads);

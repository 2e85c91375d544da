#include "viewer/file_commands.h"

const char* const kOldHostCannotSendText =
    "원격 컴퓨터의 Tavrel 가 옛 판이라 파일을 보낼 수 없습니다. 원격 쪽을 새 판으로 바꾸세요.";
const char* const kOldHostCannotReceiveText =
    "원격 컴퓨터의 Tavrel 가 옛 판이라 파일을 받을 수 없습니다. 원격 쪽을 새 판으로 바꾸세요.";
const char* const kPreparingSendText = "파일 보낼 준비 중…";
const char* const kRequestingCopiedText = "원격에 복사해 둔 파일을 요청함…";
const wchar_t* const kSendFilesPickerTitle = L"원격 컴퓨터의 다운로드 폴더로 보낼 파일";
const wchar_t* const kSendFoldersPickerTitle = L"원격 컴퓨터의 다운로드 폴더로 보낼 폴더";

FileCommandGate fileCommandGate(bool hasSession, bool connected, bool hostHasFiles) {
    if (!hasSession || !connected) return FileCommandGate::Ignore;
    return hostHasFiles ? FileCommandGate::Run : FileCommandGate::OldHost;
}

ShellCall showReceivedCall(const std::wstring& lastReceived, bool exists, const std::wstring& downloads) {
    if (!lastReceived.empty() && exists) return {L"", L"explorer.exe", L"/select,\"" + lastReceived + L"\""};
    return {L"open", downloads, L""};
}

// A program other than the test binary that writes one message to a lock pipe:
//   lock_pipe_client_win.exe <pipe name> <hex bytes>
// Exit code 0 when the message was written whole.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "core/text.h"
#include "core/util.h"

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3) return 2;
    const Bytes message = hexDecode(wideToUtf8(argv[2]));
    HANDLE pipe = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LocalFree(argv);
    if (pipe == INVALID_HANDLE_VALUE) return 3;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    DWORD written = 0;
    const BOOL ok = WriteFile(pipe, message.data(), DWORD(message.size()), &written, nullptr);
    CloseHandle(pipe);
    return ok && written == message.size() ? 0 : 4;
}

#include "support/run_tool.h"

#include <windows.h>

#include <thread>
#include <vector>

#include "support/process_job_win.h"

namespace {

class Handle {
public:
    Handle() = default;
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE* out() { return &h_; }
    HANDLE get() const { return h_; }
    void close() {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

}  // namespace

std::filesystem::path testProgramFolder() {
    std::vector<wchar_t> buffer(32768);
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    return std::filesystem::path(std::wstring(buffer.data(), n)).parent_path();
}

std::filesystem::path toolPath(const std::string& name) { return testProgramFolder() / (name + ".exe"); }

bool runTool(const std::string& name, std::string& output) {
    output.clear();
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle readEnd, writeEnd;
    if (!CreatePipe(readEnd.out(), writeEnd.out(), &inherit, 0)) return false;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring path = toolPath(name).wstring();
    std::wstring commandLine = L"\"" + path + L"\"";
    PROCESS_INFORMATION process{};
    ProcessJob job;
    if (!job.start(path, commandLine, CREATE_NO_WINDOW, startup, process, true)) return false;
    Handle processHandle, threadHandle;
    *processHandle.out() = process.hProcess;
    *threadHandle.out() = process.hThread;
    writeEnd.close();  // the child holds the only writing end now, so reading ends when it exits
    // Read beside the wait: a tool that hangs is ended after 30 s, which closes its end of the pipe.
    std::thread reader([&] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) output.append(buffer, got);
    });
    const bool ended = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
    // Whatever still runs, the tool or what it started, goes: that closes the pipe's last writer.
    job.endAll();
    reader.join();
    DWORD code = 1;
    return ended && GetExitCodeProcess(process.hProcess, &code) && code == 0;
}

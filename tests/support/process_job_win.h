// Processes a test starts, with every process they start in turn, held in one job that ends them
// all when it is closed: nothing a test starts outlives the test.
#pragma once

#include <windows.h>

#include <string>

class ProcessJob {
public:
    ProcessJob();
    // Ends what still runs in the job and waits for it to be gone.
    ~ProcessJob();
    ProcessJob(const ProcessJob&) = delete;
    ProcessJob& operator=(const ProcessJob&) = delete;

    // CreateProcessW, with the process in the job before it runs its first instruction. False,
    // with nothing left running, when it could not be started or put in the job; `info` holds
    // the caller's handles otherwise. An empty `folder` starts it in this process's current folder.
    bool start(const std::wstring& application, std::wstring commandLine, DWORD flags, STARTUPINFOW& startup,
               PROCESS_INFORMATION& info, bool inheritHandles = false, const std::wstring& folder = {});
    // Ends every process in the job and waits up to `ms` until none runs; true when none does.
    bool endAll(int ms = 10000);
    // Processes of the job that still run.
    int running() const;

private:
    HANDLE job_ = nullptr;
};

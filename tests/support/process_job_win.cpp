#include "support/process_job_win.h"

#include "core/util.h"

ProcessJob::ProcessJob() {
    job_ = CreateJobObjectW(nullptr, nullptr);
    if (!job_) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // Closing the last handle ends the members too, should the test itself end abruptly.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job_);
        job_ = nullptr;
    }
}

ProcessJob::~ProcessJob() {
    if (!job_) return;
    endAll();
    CloseHandle(job_);
}

bool ProcessJob::start(const std::wstring& application, std::wstring commandLine, DWORD flags,
                       STARTUPINFOW& startup, PROCESS_INFORMATION& info, bool inheritHandles,
                       const std::wstring& folder) {
    info = PROCESS_INFORMATION{};
    if (!job_) return false;
    if (!CreateProcessW(application.empty() ? nullptr : application.c_str(), commandLine.data(), nullptr, nullptr,
                        inheritHandles, flags | CREATE_SUSPENDED, nullptr, folder.empty() ? nullptr : folder.c_str(),
                        &startup, &info))
        return false;
    if (!AssignProcessToJobObject(job_, info.hProcess)) {
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, 5000);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        info = PROCESS_INFORMATION{};
        return false;
    }
    if (!(flags & CREATE_SUSPENDED)) ResumeThread(info.hThread);
    return true;
}

int ProcessJob::running() const {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!job_ || !QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &accounting,
                                            sizeof accounting, nullptr))
        return 0;
    return int(accounting.ActiveProcesses);
}

bool ProcessJob::endAll(int ms) {
    if (!job_) return true;
    if (running() > 0) TerminateJobObject(job_, 1);
    // A terminated process leaves the job's count once the system has taken it down.
    for (const int64_t end = nowNanos() + int64_t(ms) * 1'000'000; running() > 0;) {
        if (nowNanos() >= end) return false;
        sleepMs(10);
    }
    return true;
}

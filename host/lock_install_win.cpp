// Installing and removing the lock-screen service: the elevated switches, the tray's toggle and
// the check of the place the service's file lies in.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <optional>
#include <vector>

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/text.h"
#include "host/hooks.h"
#include "host/lock.h"
#include "host/lock_win.h"

using lockwin::ServiceHandle;
using lockwin::resolvedPathOf;
using lockwin::sidText;

namespace {

constexpr wchar_t kDisplayName[] = L"Tavrel 잠금 도우미";
constexpr wchar_t kDescription[] =
    L"화면이 잠겨 있을 때 Tavrel 원격 제어로 로그인 비밀번호를 넣습니다. 지우려면 Tavrel 설정에서 끕니다.";
// The service's access list, fixed at every install whatever an earlier one was given: SYSTEM and
// the administrators run it, interactive and service logons may only look at it.
constexpr wchar_t kServiceSecurity[] = L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                                       L"(A;;CCLCSWLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)";
constexpr DWORD kMaxServiceConfig = 8192;
constexpr int kServiceGoneMs = 15000;  // uninstalling: how long the service may take to stop and go

// The owner and access list of a file or folder; nothing when they cannot be read.
std::optional<ObjectSecurity> readSecurity(const std::wstring& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return std::nullopt;
    ObjectSecurity security;
    security.owner = sidText(owner);
    security.hasAccessList = dacl != nullptr;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        AccessEntry entry;
        entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
            entry.mask = allowed->Mask;
            entry.sid = sidText(const_cast<DWORD*>(&allowed->SidStart));
        } else {
            // An entry of another kind is not read: it counts as a grant of everything to someone.
            entry.allow = true;
            entry.mask = GENERIC_ALL;
        }
        security.entries.push_back(std::move(entry));
    }
    LocalFree(descriptor);
    return security;
}

void showUnsafeService(const std::wstring& path) {
    MessageBoxW(nullptr, unsafeServiceText(path).c_str(), L"Tavrel", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

bool stepFailed(const char* step) {
    logLine(std::string("잠금 도우미 설치: ") + step + " 실패 (오류 " + std::to_string(GetLastError()) + ")");
    return false;
}

// Stops a running service and waits, within a bound, until its process has gone: until then it
// keeps starting agents from whatever file it was started from.
bool stopAndWait(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return stepFailed("상태 읽기");
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    if (status.dwCurrentState != SERVICE_STOP_PENDING && !ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return stepFailed("멈추기");
    const int64_t deadline = nowNanos() + int64_t(kServiceGoneMs) * 1'000'000;
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (nowNanos() >= deadline) {
            SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            return stepFailed("멈추기 기다림");
        }
        Sleep(50);
    }
    return status.dwCurrentState == SERVICE_STOPPED || stepFailed("상태 읽기");
}

// Whatever an earlier service of this name was given: this account, file and access list.
bool configureService(SC_HANDLE service, const std::wstring& commandLine) {
    if (!ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              commandLine.c_str(), L"", nullptr, L"\0", L"LocalSystem", L"", kDisplayName))
        return stepFailed("구성 바꾸기");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSecurity, SDDL_REVISION_1, &descriptor, nullptr))
        return stepFailed("보안 설명자 만들기");
    const BOOL secured = SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    if (!secured) return stepFailed("접근 목록 정하기");

    std::wstring description = kDescription;
    SERVICE_DESCRIPTIONW describe{description.data()};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &describe)) stepFailed("설명 정하기");
    SC_ACTION actions[2] = {{SC_ACTION_RESTART, 3000}, {SC_ACTION_RESTART, 10000}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 86400;
    failure.cActions = 2;
    failure.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) stepFailed("실패 시 동작 정하기");
    return true;
}

}  // namespace

namespace lockwin {

int installService() {
    // The resolved path is both checked and stored: a junction in the path it was started by
    // could later be pointed elsewhere.
    const std::wstring executable = resolvedExecutablePath();
    if (executable.empty()) {
        if (!ownExecutablePath().empty()) showUnsafeService(ownExecutablePath());
        return 2;
    }
    const std::wstring unsafe = hostHooks().unsafeServicePath(executable);
    if (!unsafe.empty()) {
        showUnsafeService(unsafe);
        return 2;
    }
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) return 1;
    const std::wstring commandLine = lockServiceCommandLine(executable);
    SC_HANDLE created = CreateServiceW(manager.h, kLockServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!created && GetLastError() == ERROR_SERVICE_EXISTS)
        created = OpenServiceW(manager.h, kLockServiceName, SERVICE_ALL_ACCESS);
    ServiceHandle service(created);
    if (!service) return 2;
    // A service already there keeps running its old file until it is stopped and started again.
    if (!stopAndWait(service.h) || !configureService(service.h, commandLine)) return 2;
    if (!StartServiceW(service.h, 0, nullptr)) return stepFailed("시작") ? 0 : 2;
    return 0;
}

int uninstallService() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return 1;
    // A running service is removed only once it has stopped and its last handle is closed; the
    // tray asks right after this process ends whether it is gone, so wait for that, patiently
    // (a loaded machine stops services slowly) but within a bound.
    const int64_t deadline = nowNanos() + int64_t(kServiceGoneMs) * 1'000'000;
    {
        ServiceHandle service(OpenServiceW(manager.h, kLockServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
        if (!service) return 0;
        SERVICE_STATUS status{};
        ControlService(service.h, SERVICE_CONTROL_STOP, &status);
        DeleteService(service.h);
        while (nowNanos() < deadline && QueryServiceStatus(service.h, &status) &&
               status.dwCurrentState != SERVICE_STOPPED)
            Sleep(50);
    }
    while (nowNanos() < deadline) {
        ServiceHandle still(OpenServiceW(manager.h, kLockServiceName, SERVICE_QUERY_STATUS));
        if (!still) break;
        Sleep(50);
    }
    return 0;
}

}  // namespace lockwin

std::wstring unsafeServicePathOf(const std::wstring& executable) {
    const std::vector<std::wstring> paths = pathFromRoot(executable);
    if (paths.empty()) return executable.empty() ? std::wstring(L"?") : executable;
    std::vector<PathStep> steps;
    for (const std::wstring& path : paths) {
        PathStep step;
        step.path = path;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        step.reparsePoint = attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        step.security = readSecurity(path);
        steps.push_back(std::move(step));
    }
    return firstUnsafeStepOn(GetDriveTypeW(paths.front().c_str()), steps);
}

std::wstring installedServiceExecutable() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager ? OpenServiceW(manager.h, kLockServiceName, SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) return {};
    std::vector<BYTE> buffer(kMaxServiceConfig);
    DWORD needed = 0;
    if (!QueryServiceConfigW(service.h, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), DWORD(buffer.size()),
                             &needed))
        return {};
    const wchar_t* commandLine = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName;
    const std::wstring stored = lockServiceExecutable(commandLine ? commandLine : L"");
    // As install judged it: the stored path is the file itself, through no junction or link, in
    // a place only administrators may change.
    const std::wstring resolved = resolvedPathOf(stored);
    if (resolved.empty() || resolved != stored || !hostHooks().unsafeServicePath(resolved).empty()) return {};
    return resolved;
}

void toggleLockService() {
    const bool installed = lockServiceInstalled();
    // The elevated process runs the very file that was checked: to install, this one; to remove,
    // the service's own, not whatever copy runs here (one in Downloads, say, beside which a
    // library may lie that would load elevated).
    const std::wstring executable = installed ? installedServiceExecutable() : resolvedExecutablePath();
    if (installed && executable.empty()) {
        MessageBoxW(nullptr, lockToggleResultText(true, true).c_str(), L"Tavrel", MB_OK | MB_ICONWARNING);
        return;
    }
    if (!installed) {
        // Refused here already, before the user is asked for elevation.
        const std::wstring unsafe =
            !executable.empty() ? hostHooks().unsafeServicePath(executable)
            : !ownExecutablePath().empty() ? ownExecutablePath()  // not on a drive: a share, say
                                           : std::wstring(L"(프로그램 경로가 너무 깁니다)");
        if (!unsafe.empty()) {
            showUnsafeService(unsafe);
            return;
        }
        const wchar_t* question =
            L"이 PC 화면이 잠겨 있을 때 원격에서 비밀번호를 넣어 로그인할 수 있게 합니다.\n\n"
            L"관리자 권한으로 작은 서비스(Tavrel 잠금 도우미)를 설치합니다. 도우미는 화면이 잠겨 있을 때만, 이 PC 의 "
            L"Tavrel 가 보낸 키 입력을 잠금 화면에 넣습니다.\n\n설치할까요?";
        if (MessageBoxW(nullptr, question, L"잠긴 화면에서도 로그인 허용",
                        MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
            return;
    }
    SHELLEXECUTEINFOW run{};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOCLOSEPROCESS;
    run.lpVerb = L"runas";
    run.lpFile = executable.c_str();
    run.lpParameters = installed ? L"--lock-service uninstall" : L"--lock-service install";
    run.nShow = SW_HIDE;
    if (!ShellExecuteExW(&run)) return;
    if (run.hProcess) {
        WaitForSingleObject(run.hProcess, 20000);
        CloseHandle(run.hProcess);
    }
    const bool nowInstalled = lockServiceInstalled();
    configStore().update([&](AppConfig& c) { c.lockLogin = nowInstalled; });
    MessageBoxW(nullptr, lockToggleResultText(installed, nowInstalled).c_str(), L"Tavrel", MB_OK | MB_ICONINFORMATION);
}


// DNS-SD registration through dnsapi.dll, whose service functions exist only on newer Windows and
// are therefore looked up at run time.
#include "host/announce.h"

#include <windows.h>
#include <windns.h>

#include <mutex>
#include <vector>

#include "core/system_library.h"
#include "core/text.h"
#include "core/util.h"

namespace {

// DnsServiceRegister's answer when the registration goes on in the background (DNS_REQUEST_PENDING,
// which MinGW's headers lack).
constexpr DWORD kDnsRequestPending = 9506;

using ConstructInstanceFn = PDNS_SERVICE_INSTANCE(WINAPI*)(PCWSTR, PCWSTR, PIP4_ADDRESS, PIP6_ADDRESS, WORD, WORD,
                                                           WORD, DWORD, PCWSTR*, PCWSTR*);
using RegisterFn = DWORD(WINAPI*)(PDNS_SERVICE_REGISTER_REQUEST, PDNS_SERVICE_CANCEL);
using FreeInstanceFn = VOID(WINAPI*)(PDNS_SERVICE_INSTANCE);

template <class Fn>
Fn procOf(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

FreeInstanceFn freeInstanceFn() {
    static FreeInstanceFn fn = procOf<FreeInstanceFn>(GetModuleHandleW(L"dnsapi.dll"), "DnsServiceFreeInstance");
    return fn;
}

// Runs on a system thread when a registration completes.
VOID WINAPI registrationDone(DWORD status, PVOID, PDNS_SERVICE_INSTANCE instance) {
    if (status != 0) logLine("같은 망 알리기 실패 " + std::to_string(status));
    if (instance) {
        if (FreeInstanceFn freeInstance = freeInstanceFn()) freeInstance(instance);
    }
}

struct DnsApiRegistration : DnsSdRegistration {
    DNS_SERVICE_REGISTER_REQUEST request{};
    PDNS_SERVICE_INSTANCE instance = nullptr;
    // The texts the instance was built from, kept for as long as the registration.
    std::wstring instanceName, hostName;
    std::vector<std::wstring> keys, values;
};

class DnsApiAnnouncer : public LanAnnouncer {
public:
    DnsSdRegistration* registerService(const DnsSdService& service) override {
        auto module = static_cast<HMODULE>(loadSystemLibrary(L"dnsapi.dll"));  // stays loaded
        auto construct = procOf<ConstructInstanceFn>(module, "DnsServiceConstructInstance");
        auto registerFn = procOf<RegisterFn>(module, "DnsServiceRegister");
        if (!construct || !registerFn) return nullptr;

        auto record = std::make_unique<DnsApiRegistration>();
        record->service = service;
        record->instanceName = utf8ToWide(service.instance);
        record->hostName = utf8ToWide(service.host);
        std::vector<PCWSTR> keys, values;
        for (const auto& [key, value] : service.txt) {
            record->keys.push_back(utf8ToWide(key));
            record->values.push_back(utf8ToWide(value));
        }
        for (size_t i = 0; i < record->keys.size(); ++i) {
            keys.push_back(record->keys[i].c_str());
            values.push_back(record->values[i].c_str());
        }
        record->instance = construct(record->instanceName.c_str(), record->hostName.c_str(), nullptr, nullptr,
                                     WORD(service.port), 0, 0, DWORD(keys.size()), keys.data(), values.data());
        if (!record->instance) return nullptr;

        record->request.Version = DNS_QUERY_REQUEST_VERSION1;
        record->request.InterfaceIndex = 0;
        record->request.pServiceInstance = record->instance;
        record->request.pRegisterCompletionCallback = registrationDone;
        record->request.pQueryContext = nullptr;
        record->request.hCredentials = nullptr;
        record->request.unicastEnabled = FALSE;
        if (registerFn(&record->request, nullptr) != kDnsRequestPending) {
            if (FreeInstanceFn freeInstance = freeInstanceFn()) freeInstance(record->instance);
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        kept_.push_back(std::move(record));
        return kept_.back().get();
    }

    void withdraw(DnsSdRegistration* registration) override {
        auto deregister = procOf<RegisterFn>(GetModuleHandleW(L"dnsapi.dll"), "DnsServiceDeRegister");
        if (!registration || !deregister) return;
        deregister(&static_cast<DnsApiRegistration*>(registration)->request, nullptr);
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<DnsApiRegistration>> kept_;
};

}  // namespace

std::unique_ptr<LanAnnouncer> systemLanAnnouncer() { return std::make_unique<DnsApiAnnouncer>(); }

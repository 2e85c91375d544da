// The stand-in codecs' in-process server (built beside the test program), loaded into a test to
// register or remove it in the test's Wine prefix the way the test script's regsvr32 does.
#pragma once

#include <windows.h>

#include "support/run_tool.h"

class StandInCodecServer {
public:
    StandInCodecServer() : module_(LoadLibraryW((testProgramFolder() / L"stand_in_codecs.dll").c_str())) {}
    ~StandInCodecServer() {
        if (module_) FreeLibrary(module_);
    }
    StandInCodecServer(const StandInCodecServer&) = delete;
    StandInCodecServer& operator=(const StandInCodecServer&) = delete;

    bool loaded() const { return module_ != nullptr; }
    HRESULT registerServer() const { return call("DllRegisterServer"); }
    HRESULT unregisterServer() const { return call("DllUnregisterServer"); }

private:
    HRESULT call(const char* entry) const {
        if (!module_) return E_FAIL;
        auto function = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(module_, entry)));
        return function ? function() : E_FAIL;
    }

    HMODULE module_;
};

// While it lives, none of the stand-in codecs is installed in the prefix (as on a bare Wine);
// those that were are installed again at the end.
class WithoutInstalledStandIns {
public:
    WithoutInstalledStandIns();
    ~WithoutInstalledStandIns();
    WithoutInstalledStandIns(const WithoutInstalledStandIns&) = delete;
    WithoutInstalledStandIns& operator=(const WithoutInstalledStandIns&) = delete;

private:
    StandInCodecServer server_;
    bool wereInstalled_ = false;
};

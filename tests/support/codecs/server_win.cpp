// The stand-in codecs as an in-process COM server: the test script registers it in its throw-away
// Wine prefix so that the program itself finds the codecs that Wine lacks, exactly as it finds
// installed ones. Each class served has an entry below: its factory and how it is registered
// beyond the server key (a transform category, for instance).
#include <windows.h>
#include <mfapi.h>
#include <olectl.h>
#include <wmcodecdsp.h>

#include <iterator>
#include <memory>
#include <string>

#include "support/class_factory_win.h"
#include "support/fake_aac_encoder_win.h"
#include "support/stand_in_encoder_win.h"

using Microsoft::WRL::ComPtr;

namespace {

HMODULE thisModule = nullptr;

struct ServedClass {
    const CLSID* clsid;
    ComPtr<IClassFactory> (*factory)();
    HRESULT (*registerClass)(const CLSID& clsid);    // after its server key is written
    HRESULT (*unregisterClass)(const CLSID& clsid);  // before its server key is removed
};

wchar_t kH264Name[] = L"Tavrel stand-in H.264";

const ServedClass kServed[] = {
    {&CLSID_StandInH264Encoder,
     [] { return makeStandInEncoderFactory(std::make_shared<StandInEncoderState>(false)); },
     [](const CLSID& clsid) {
         MFT_REGISTER_TYPE_INFO input = kStandInEncoderInput, output = kStandInEncoderOutput;
         return MFTRegister(clsid, MFT_CATEGORY_VIDEO_ENCODER, kH264Name, 0, 1, &input, 1, &output, nullptr);
     },
     [](const CLSID& clsid) { return MFTUnregister(clsid); }},
    // The program asks for the AAC encoder by its class id alone.
    {&CLSID_AACMFTEncoder,
     [] {
         auto log = std::make_shared<FakeAacEncoderLog>();
         log->keepInputs = false;
         return makeFakeAacEncoderFactory(log);
     },
     [](const CLSID&) { return S_OK; }, [](const CLSID&) { return S_OK; }},
};

std::wstring serverKey(const CLSID& clsid) {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

HRESULT writeServerKey(const CLSID& clsid) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(thisModule, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return SELFREG_E_CLASS;
    const std::wstring key = serverKey(clsid) + L"\\InprocServer32";
    const wchar_t both[] = L"Both";
    if (RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, path, (length + 1) * sizeof(wchar_t)) ||
        RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), L"ThreadingModel", REG_SZ, both, sizeof both)) {
        return SELFREG_E_CLASS;
    }
    return S_OK;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        thisModule = module;
        DisableThreadLibraryCalls(module);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    for (const ServedClass& served : kServed) {
        if (clsid == *served.clsid) return served.factory().CopyTo(iid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// Objects may live on in the processes of a test run; the server stays loaded.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
    for (const ServedClass& served : kServed) {
        HRESULT hr = writeServerKey(*served.clsid);
        if (SUCCEEDED(hr)) hr = served.registerClass(*served.clsid);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

STDAPI DllUnregisterServer() {
    HRESULT result = S_OK;
    for (const ServedClass& served : kServed) {
        if (FAILED(served.unregisterClass(*served.clsid))) result = SELFREG_E_CLASS;
        RegDeleteTreeW(HKEY_CLASSES_ROOT, serverKey(*served.clsid).c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, serverKey(*served.clsid).c_str());
    }
    return result;
}

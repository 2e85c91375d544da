// Transforms of this process and installed ones. A transform registered in this process
// (MFTRegisterLocal) is found by the program's transform search before any installed one.
//
// One local registration at a time: Wine 8's MFTUnregisterLocal crashes when the registration made last is removed
// while an earlier one stays, so a second registration is refused (registered() is false).
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <mftransform.h>

#include <atomic>
#include <utility>

// The first installed (not process-local) transform of `category` that takes video of
// `inputSubtype` and activates, or null.
Microsoft::WRL::ComPtr<IMFTransform> installedTransform(const GUID& category, const GUID& inputSubtype);
// Whether `clsid` is among the installed transforms of `category`.
bool transformInstalled(const GUID& category, const CLSID& clsid);

// Registered while the object lives.
class LocalTransform {
public:
    LocalTransform(Microsoft::WRL::ComPtr<IClassFactory> factory, const GUID& category,
                   const MFT_REGISTER_TYPE_INFO& input, const MFT_REGISTER_TYPE_INFO& output)
        : factory_(std::move(factory)), input_(input), output_(output) {
        bool expected = false;
        if (!active().compare_exchange_strong(expected, true)) return;
        registered_ = SUCCEEDED(MFTRegisterLocal(factory_.Get(), category, L"", 0, 1, &input_, 1, &output_));
        if (!registered_) active() = false;
    }
    ~LocalTransform() {
        if (!registered_) return;
        MFTUnregisterLocal(factory_.Get());
        active() = false;
    }
    LocalTransform(const LocalTransform&) = delete;
    LocalTransform& operator=(const LocalTransform&) = delete;

    bool registered() const { return registered_; }

private:
    static std::atomic<bool>& active() {
        static std::atomic<bool> flag{false};
        return flag;
    }

    Microsoft::WRL::ComPtr<IClassFactory> factory_;
    MFT_REGISTER_TYPE_INFO input_, output_;  // kept while registered
    bool registered_ = false;
};

#include "support/local_transform_win.h"

#include <functional>

using Microsoft::WRL::ComPtr;

namespace {

// Calls `each` with the installed transforms of `category` (taking `input` when given) in the
// search's order until it returns true.
void forInstalled(const GUID& category, const MFT_REGISTER_TYPE_INFO* input,
                  const std::function<bool(IMFActivate*)>& each) {
    IMFActivate** found = nullptr;
    UINT32 count = 0;
    if (FAILED(MFTEnumEx(category, MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER, input, nullptr, &found, &count))) {
        return;
    }
    bool done = false;
    for (UINT32 i = 0; i < count; ++i) {
        if (!done) done = each(found[i]);
        found[i]->Release();
    }
    CoTaskMemFree(found);
}

}  // namespace

ComPtr<IMFTransform> installedTransform(const GUID& category, const GUID& inputSubtype) {
    const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, inputSubtype};
    ComPtr<IMFTransform> transform;
    forInstalled(category, &input, [&](IMFActivate* activate) {
        return SUCCEEDED(activate->ActivateObject(IID_PPV_ARGS(&transform)));
    });
    return transform;
}

bool transformInstalled(const GUID& category, const CLSID& clsid) {
    bool listed = false;
    forInstalled(category, nullptr, [&](IMFActivate* activate) {
        GUID each{};
        listed = SUCCEEDED(activate->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &each)) && each == clsid;
        return listed;
    });
    return listed;
}

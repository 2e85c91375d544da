#include "support/stand_in_server_win.h"

#include <mfapi.h>

#include "support/stand_in_encoder_win.h"

bool transformInstalled(const GUID& category, const CLSID& clsid) {
    IMFActivate** found = nullptr;
    UINT32 count = 0;
    if (FAILED(MFTEnumEx(category, MFT_ENUM_FLAG_ALL & ~MFT_ENUM_FLAG_LOCALMFT, nullptr, nullptr, &found, &count))) {
        return false;
    }
    bool listed = false;
    for (UINT32 i = 0; i < count; ++i) {
        GUID each{};
        if (SUCCEEDED(found[i]->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &each)) && each == clsid) listed = true;
        found[i]->Release();
    }
    CoTaskMemFree(found);
    return listed;
}

WithoutInstalledStandIns::WithoutInstalledStandIns()
    : wereInstalled_(transformInstalled(MFT_CATEGORY_VIDEO_ENCODER, CLSID_StandInH264Encoder)) {
    if (wereInstalled_) server_.unregisterServer();
}

WithoutInstalledStandIns::~WithoutInstalledStandIns() {
    if (wereInstalled_) server_.registerServer();
}

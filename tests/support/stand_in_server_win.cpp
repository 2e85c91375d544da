#include "support/stand_in_server_win.h"

#include <mfapi.h>

#include "support/local_transform_win.h"
#include "support/stand_in_encoder_win.h"

WithoutInstalledStandIns::WithoutInstalledStandIns()
    : wereInstalled_(transformInstalled(MFT_CATEGORY_VIDEO_ENCODER, CLSID_StandInH264Encoder)) {
    if (wereInstalled_) server_.unregisterServer();
}

WithoutInstalledStandIns::~WithoutInstalledStandIns() {
    if (wereInstalled_) server_.registerServer();
}

// The stand-in codecs' in-process server, registered the way the test script registers it in the
// Wine prefix: the program's own transform search must find and activate it.
#include <mfapi.h>

#include <gtest/gtest.h>

#include "core/util.h"
#include "media/encoder.h"
#include "media/stream.h"
#include "support/local_transform_win.h"
#include "support/log_capture.h"
#include "support/mf_test.h"
#include "support/stand_in_encoder_win.h"
#include "support/stand_in_server_win.h"

namespace {

using StandInServer = MediaFoundationTest;

TEST_F(StandInServer, RegistersAnEncoderThatTheProgramFindsAndRemovesItAgain) {
    WithoutInstalledStandIns bare;  // puts back what the prefix had at the end
    EXPECT_FALSE(transformInstalled(MFT_CATEGORY_VIDEO_ENCODER, CLSID_StandInH264Encoder));
    StandInCodecServer server;
    ASSERT_TRUE(server.loaded());

    ASSERT_EQ(server.registerServer(), S_OK);
    EXPECT_TRUE(transformInstalled(MFT_CATEGORY_VIDEO_ENCODER, CLSID_StandInH264Encoder));
    {
        VideoEncoder encoder;
        ASSERT_TRUE(encoder.open(64, 48, 30, 1'000'000));
        const Bytes picture(64 * 48 * 3 / 2, 128);
        Bytes out;
        bool keyFrame = false;
        ASSERT_TRUE(encoder.encode(picture.data(), false, out, keyFrame));
        EXPECT_TRUE(keyFrame);
        EXPECT_EQ(packAccessUnit(out.data(), out.size(), false).parameterSets.size(), 2u);
    }

    ASSERT_EQ(server.unregisterServer(), S_OK);
    EXPECT_FALSE(transformInstalled(MFT_CATEGORY_VIDEO_ENCODER, CLSID_StandInH264Encoder));
    LogCapture log;
    VideoEncoder encoder;
    EXPECT_FALSE(encoder.open(64, 48, 30, 1'000'000));
    EXPECT_NE(log.text().find(" H.264 인코더 없음\n"), std::string::npos);
}

}  // namespace

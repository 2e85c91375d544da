// The size a PNG file declares, read before any decoder sees the file.
#include <gtest/gtest.h>

#include "media/png.h"
#include "support/png_fixture.h"

TEST(PngDeclaredSize, ReadsTheHeader) {
    struct Case {
        uint32_t width, height;
    } cases[] = {{1, 1}, {65535, 65535}, {0, 7}, {0xFFFFFFFFu, 0x80000000u}};
    for (const Case& c : cases) {
        uint32_t w = 0, h = 0;
        ASSERT_TRUE(pngDeclaredSize(pngfixture::declaringPng(c.width, c.height), w, h));
        EXPECT_EQ(w, c.width);
        EXPECT_EQ(h, c.height);
    }
}

TEST(PngDeclaredSize, OtherBytesDeclareNothing) {
    Bytes png = pngfixture::declaringPng(2, 3);
    Bytes wrongSignature = png;
    wrongSignature[1] = 'Q';
    Bytes otherFirstChunk = png;
    otherFirstChunk[12] = 'i';
    Bytes longerHeader = png;
    longerHeader[11] = 14;
    Bytes bitmap = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (const Bytes& bytes : {Bytes(png.begin(), png.begin() + 23), wrongSignature, otherFirstChunk, longerHeader,
                               bitmap, Bytes()}) {
        uint32_t w = 9, h = 9;
        EXPECT_FALSE(pngDeclaredSize(bytes, w, h));
    }
}

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

TEST(PngFitsLimit, OnlyAPngDeclaringAnAllowedSizePasses) {
    const uint64_t limit = 64 * 64;
    Bytes cutShort = pngfixture::declaringPng(1, 1);
    cutShort.resize(20);
    struct Case {
        const char* what;
        Bytes bytes;
        bool passes;
    } cases[] = {
        {"png", pngfixture::declaringPng(64, 64), true},
        {"png of one pixel", pngfixture::declaringPng(1, 1), true},
        {"png one pixel over", pngfixture::declaringPng(65, 64), false},
        {"png of width 0", pngfixture::declaringPng(0, 64), false},
        {"png of height 0", pngfixture::declaringPng(64, 0), false},
        {"png whose product overflows 32 bits", pngfixture::declaringPng(0x10000, 0x10001), false},
        {"png header cut short", cutShort, false},
        // Small and whole, and still not PNG: other decoders are never asked.
        {"bmp", pngfixture::bmp(2, 2), false},
        {"gif", pngfixture::gif(1, 1), false},
        {"jpeg", pngfixture::jpeg(8, 8), false},
        {"icon holding a png", pngfixture::icoWrapping(pngfixture::declaringPng(1, 1)), false},
        {"nothing", Bytes(), false},
    };
    for (const Case& c : cases) EXPECT_EQ(pngFitsLimit(c.bytes, limit), c.passes) << c.what;
}

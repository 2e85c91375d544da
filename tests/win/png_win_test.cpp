// PNG encoding and decoding through the system's imaging component.
#include <windows.h>
#include <objbase.h>
#include <wincodec.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <atomic>

#include "media/png.h"
#include "support/class_registration_win.h"
#include "support/com_scope.h"
#include "support/png_fixture.h"

namespace {

// The largest address space the process has held so far, in bytes; 0 when it cannot be read.
uint64_t peakVirtualSize() {
    using Query = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    VM_COUNTERS counters{};
    if (!query || query(GetCurrentProcess(), ProcessVmCounters, &counters, sizeof counters, nullptr) < 0) return 0;
    return counters.PeakVirtualSize;
}

}  // namespace

TEST(WinPng, RoundTripIsExact) {
    ComScope com;
    // 5 x 3 with padded rows: colours under every alpha, including colour under alpha 0.
    const int width = 5, height = 3, pitch = 24;
    Bytes source(size_t(pitch) * height, 0xCD);
    Bytes expected;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &source[size_t(y) * pitch + size_t(x) * 4];
            p[0] = uint8_t(17 * x + y);
            p[1] = uint8_t(255 - 13 * x);
            p[2] = uint8_t(40 * y + 3);
            p[3] = uint8_t((x + y) % 3 == 0 ? 0 : 60 * x + 20 * y);
            expected.insert(expected.end(), p, p + 4);
        }
    Bytes png;
    encodePng(png, source.data(), width, height, pitch);
    ASSERT_FALSE(png.empty());
    EXPECT_EQ(Bytes(png.begin(), png.begin() + 4), (Bytes{0x89, 'P', 'N', 'G'}));
    Bytes pixels;
    int w = 0, h = 0;
    ASSERT_TRUE(decodePng(png, pixels, w, h, uint64_t(width) * height));
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    EXPECT_EQ(pixels, expected);
    // One pixel over the limit is refused.
    EXPECT_FALSE(decodePng(png, pixels, w, h, uint64_t(width) * height - 1));
}

TEST(WinPng, EncoderRefusesBadPicturesWithAnEmptyResult) {
    ComScope com;
    Bytes pixels(64, 1);
    struct Case {
        const char* what;
        const uint8_t* data;
        int width, height, pitch;
    } cases[] = {
        {"no pixels", nullptr, 2, 2, 8},
        {"width 0", pixels.data(), 0, 2, 8},
        {"height 0", pixels.data(), 2, 0, 8},
        {"pitch shorter than a row", pixels.data(), 2, 2, 7},
        {"buffer beyond 4 GB", pixels.data(), 0x10000, 0x10000, 0x40000},
    };
    for (const Case& c : cases) {
        Bytes out = {1, 2, 3};
        encodePng(out, c.data, c.width, c.height, c.pitch);
        EXPECT_TRUE(out.empty()) << c.what;
    }
}

TEST(WinPng, GarbageDoesNotDecode) {
    ComScope com;
    Bytes pixels, truncated = pngfixture::declaringPng(4, 4);
    int w = 0, h = 0;
    for (const Bytes& bytes : {Bytes{}, Bytes{'h', 'e', 'l', 'l', 'o'}, Bytes(100, 0x89), truncated})
        EXPECT_FALSE(decodePng(bytes, pixels, w, h, 1 << 20));
}

TEST(WinPng, HugeDeclaredSizeIsRefusedWithoutAllocating) {
    // A stand-in for the system's PNG decoder that counts how often one is asked for and makes
    // none. Wine's own decoder would refuse this fixture too, only later: the point is that no
    // decoder is ever made for it.
    std::atomic<int> made{0};
    ClassRegistration counting(CLSID_WICPngDecoder, [&](REFIID, void** object) {
        ++made;
        *object = nullptr;
        return E_FAIL;
    });
    ASSERT_HRESULT_SUCCEEDED(counting.result());
    inMultithreadedApartment([&] {
        Bytes pixels;
        int w = 0, h = 0;
        EXPECT_FALSE(decodePng(pngfixture::declaringPng(4, 4), pixels, w, h, 16));
        ASSERT_EQ(made.load(), 1) << "a PNG within the limit goes to the PNG decoder";

        Bytes png = pngfixture::declaringPng(65535, 65535);
        uint64_t before = peakVirtualSize();
        EXPECT_FALSE(decodePng(png, pixels, w, h, uint64_t(64) << 20));
        EXPECT_TRUE(pixels.empty());
        EXPECT_EQ(made.load(), 1) << "a decoder was made for a picture over the limit";
        if (before == 0) return;
        EXPECT_LT(peakVirtualSize() - before, uint64_t(512) << 20) << "bytes more address space";
    });
}

TEST(WinPng, OtherFormatsAreRefusedEvenWhenWholeAndSmall) {
    ComScope com;
    Bytes png;
    const Bytes four(2 * 2 * 4, 0x7F);
    encodePng(png, four.data(), 2, 2, 8);
    ASSERT_FALSE(png.empty());
    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"bitmap", pngfixture::bmp(2, 2)},
        {"gif", pngfixture::gif(1, 1)},
        {"jpeg", pngfixture::jpeg(8, 8)},
        {"icon holding a png", pngfixture::icoWrapping(png)},
    };
    for (const auto& c : cases) {
        Bytes pixels;
        int w = 0, h = 0;
        EXPECT_FALSE(decodePng(c.bytes, pixels, w, h, 1 << 20)) << c.what;
        EXPECT_TRUE(pixels.empty()) << c.what;
    }
    Bytes pixels;
    int w = 0, h = 0;
    EXPECT_TRUE(decodePng(png, pixels, w, h, 1 << 20)) << "the PNG they were made beside";
}

TEST(WinPng, OtherFormatsDeclaringHugePicturesCostNothing) {
    ComScope com;
    // Small files whose decoders, given the chance, set aside or decode gigabytes.
    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"jpeg", pngfixture::jpeg(30000, 30000)},
        {"gif", pngfixture::gif(65535, 65535)},
        {"bitmap", pngfixture::bmp(30000, 30000)},
        {"icon holding a png", pngfixture::icoWrapping(pngfixture::declaringPng(65535, 65535))},
    };
    const uint64_t before = peakVirtualSize();
    for (const auto& c : cases) {
        Bytes pixels;
        int w = 0, h = 0;
        const int64_t start = nowNanos();
        EXPECT_FALSE(decodePng(c.bytes, pixels, w, h, uint64_t(64) << 20)) << c.what;
        // A bound against decoding, not a speed goal: a decoder at work takes seconds.
        EXPECT_LT(nowNanos() - start, int64_t(500) * 1'000'000) << c.what;
    }
    if (before == 0) GTEST_SKIP() << "the process's address-space size cannot be read here";
    EXPECT_LT(peakVirtualSize() - before, uint64_t(256) << 20) << "bytes more address space";
}

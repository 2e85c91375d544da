// PNG encoding and decoding through the system's imaging component.
#include <windows.h>
#include <objbase.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include "media/png.h"
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
    ComScope com;
    Bytes png = pngfixture::declaringPng(65535, 65535);
    Bytes pixels;
    int w = 0, h = 0;
    uint64_t before = peakVirtualSize();
    EXPECT_FALSE(decodePng(png, pixels, w, h, uint64_t(64) << 20));
    EXPECT_TRUE(pixels.empty());
    if (before == 0) GTEST_SKIP() << "the process's address-space size cannot be read here";
    // A decoder that set aside room for the declared picture would take gigabytes.
    EXPECT_LT(peakVirtualSize() - before, uint64_t(512) << 20) << "bytes more address space";
}

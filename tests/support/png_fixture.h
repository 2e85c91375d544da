// Hand-made PNG files: the signature and chunks with their checksums, so that a test can declare
// any header it needs without an encoder.
#pragma once

#include <cstdint>
#include <string>

#include "core/util.h"

namespace pngfixture {

inline uint32_t crc32(const uint8_t* data, size_t length) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
}

inline void putBe32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

inline void chunk(Bytes& out, const std::string& type, const Bytes& data) {
    putBe32(out, uint32_t(data.size()));
    Bytes typed(type.begin(), type.end());
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    putBe32(out, crc32(typed.data(), typed.size()));
}

// A PNG of 8-bit RGBA declaring width x height, whose image data is the start of a zlib stream
// with one empty first row: enough for a decoder to accept the header and begin.
inline Bytes declaringPng(uint32_t width, uint32_t height) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    putBe32(header, width);
    putBe32(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0});
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", {0x78, 0x01, 0x00, 0x01, 0x00, 0xFE, 0xFF, 0x00});
    chunk(png, "IEND", {});
    return png;
}

inline void putLe16(Bytes& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

inline void putLe32(Bytes& out, uint32_t v) {
    putLe16(out, v & 0xFFFF);
    putLe16(out, v >> 16);
}

// Files of other formats that image decoders take, each declaring width x height. With a small
// size they are whole, valid pictures; with a large one their data stops short.

// Uncompressed 32-bit bitmap; its pixels are there when they take at most 64 KiB.
inline Bytes bmp(uint32_t width, uint32_t height) {
    const uint64_t pixelBytes = uint64_t(width) * height * 4;
    const bool whole = pixelBytes <= 65536;
    Bytes out = {'B', 'M'};
    putLe32(out, uint32_t(54 + (whole ? pixelBytes : 0)));
    putLe32(out, 0);
    putLe32(out, 54);
    putLe32(out, 40);
    putLe32(out, width);
    putLe32(out, height);
    putLe16(out, 1);   // planes
    putLe16(out, 32);  // bits per pixel
    putLe32(out, 0);   // no compression
    putLe32(out, uint32_t(pixelBytes));
    putLe32(out, 2835);
    putLe32(out, 2835);
    putLe32(out, 0);
    putLe32(out, 0);
    if (whole) out.resize(out.size() + size_t(pixelBytes), 0x80);
    return out;
}

// A GIF with a two-colour table and one image of the whole screen; the image data is that of a
// single pixel, so only a 1 x 1 one is whole.
inline Bytes gif(uint16_t width, uint16_t height) {
    Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
    putLe16(out, width);
    putLe16(out, height);
    out.insert(out.end(), {0x80, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x2C, 0, 0, 0, 0});
    putLe16(out, width);
    putLe16(out, height);
    out.insert(out.end(), {0, 2, 2, 0x44, 0x01, 0, 0x3B});
    return out;
}

// A grey baseline JPEG whose entropy data is one flat 8 x 8 block; only an 8 x 8 one is whole.
inline Bytes jpeg(uint16_t width, uint16_t height) {
    Bytes out;
    out.reserve(160);
    out.insert(out.end(), {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0});
    out.resize(out.size() + 64, 1);
    out.insert(out.end(), {0xFF, 0xC0, 0, 11, 8, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8),
                           uint8_t(width), 1, 1, 0x11, 0});
    // One code each: "0" is a DC difference of 0, and the end of a block.
    for (uint8_t table : {0x00, 0x10}) {
        out.insert(out.end(), {0xFF, 0xC4, 0, 20, table, 1});
        out.resize(out.size() + 15, 0);
        out.push_back(0);
    }
    out.insert(out.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 63, 0, 0x3F, 0xFF, 0xD9});
    return out;
}

// An icon whose one image is the given PNG file.
inline Bytes icoWrapping(const Bytes& png) {
    Bytes out;
    putLe16(out, 0);
    putLe16(out, 1);
    putLe16(out, 1);
    out.insert(out.end(), {0, 0, 0, 0});
    putLe16(out, 1);
    putLe16(out, 32);
    putLe32(out, uint32_t(png.size()));
    putLe32(out, 22);
    out.insert(out.end(), png.begin(), png.end());
    return out;
}

// A whole, valid PNG of 8-bit RGBA, every pixel 0: a large picture in a small file, its zlib
// stream one fixed-code block of back-references.
inline Bytes zeroPng(uint32_t width, uint32_t height) {
    const uint64_t raw = uint64_t(height) * (1 + uint64_t(width) * 4);  // a filter byte per row
    Bytes z = {0x78, 0x01};
    uint32_t bits = 0;
    int count = 0;
    auto put = [&](uint32_t value, int n) {  // least significant bit first
        for (int i = 0; i < n; ++i) {
            bits |= ((value >> i) & 1u) << count;
            if (++count == 8) {
                z.push_back(uint8_t(bits));
                bits = 0;
                count = 0;
            }
        }
    };
    auto code = [&](uint32_t value, int n) {  // Huffman codes most significant bit first
        for (int i = n - 1; i >= 0; --i) put((value >> i) & 1u, 1);
    };
    put(1, 1);  // the last block
    put(1, 2);  // fixed codes
    code(0x30, 8);  // the literal 0
    uint64_t left = raw - 1;
    for (; left >= 258; left -= 258) {
        code(0xC5, 8);  // length 258
        code(0, 5);     // distance 1
    }
    for (; left > 0; --left) code(0x30, 8);
    code(0, 7);  // end of block
    if (count) z.push_back(uint8_t(bits));
    putBe32(z, uint32_t(raw % 65521) << 16 | 1);  // Adler-32 of zeros
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    putBe32(header, width);
    putBe32(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0});
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", {});
    return png;
}

}  // namespace pngfixture

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

}  // namespace pngfixture

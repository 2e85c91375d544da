#include "core/wire.h"

#include <bit>
#include <cstring>

const char* const kShortMessage = "짧은 메시지";

const uint8_t* ByteReader::take(size_t width) {
    if (width > size_ - pos_) throw ProtoError(kShortMessage);
    const uint8_t* p = data_ + pos_;
    pos_ += width;
    return p;
}

uint8_t ByteReader::u8() { return *take(1); }

uint16_t ByteReader::u16() {
    const uint8_t* p = take(2);
    return uint16_t((p[0] << 8) | p[1]);
}

uint32_t ByteReader::u32() { return loadBe32(take(4)); }
uint64_t ByteReader::u64() { return loadBe64(take(8)); }
float ByteReader::f32() { return std::bit_cast<float>(u32()); }

std::vector<uint8_t> ByteReader::bytes(size_t n) {
    const uint8_t* p = take(n);
    return std::vector<uint8_t>(p, p + n);
}

std::vector<uint8_t> ByteReader::lengthPrefixed() {
    size_t start = pos_;
    uint32_t n = u32();
    if (n > size_ - pos_) {
        pos_ = start;
        throw ProtoError(kShortMessage);
    }
    return bytes(n);
}

std::vector<uint8_t> ByteReader::rest() { return bytes(size_ - pos_); }

std::string ByteReader::restString() {
    const uint8_t* p = data_ + pos_;
    size_t n = size_ - pos_;
    pos_ = size_;
    return std::string(reinterpret_cast<const char*>(p), n);
}

void ByteWriter::u8(uint8_t v) { out_.push_back(v); }
void ByteWriter::u16(uint16_t v) {
    out_.push_back(uint8_t(v >> 8));
    out_.push_back(uint8_t(v));
}
void ByteWriter::u32(uint32_t v) {
    uint8_t b[4];
    storeBe32(b, v);
    out_.insert(out_.end(), b, b + 4);
}
void ByteWriter::u64(uint64_t v) {
    uint8_t b[8];
    storeBe64(b, v);
    out_.insert(out_.end(), b, b + 8);
}
void ByteWriter::f32(float v) { u32(std::bit_cast<uint32_t>(v)); }
void ByteWriter::bytes(const uint8_t* data, size_t n) {
    if (n) out_.insert(out_.end(), data, data + n);
}
void ByteWriter::lengthPrefixed(const uint8_t* data, size_t n) {
    u32(uint32_t(n));
    bytes(data, n);
}

// Big-endian payload fields and the protocol failure classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class ProtoError : public std::runtime_error {
public:
    explicit ProtoError(const std::string& message) : std::runtime_error(message) {}
};

class BadPassword : public ProtoError {
public:
    explicit BadPassword(const std::string& message = "비밀번호가 맞지 않습니다") : ProtoError(message) {}
};

class PasswordRefused : public ProtoError {
public:
    explicit PasswordRefused(const std::string& message = "원격 컴퓨터가 비밀번호 접속을 받지 않습니다")
        : ProtoError(message) {}
};

extern const char* const kShortMessage;  // "짧은 메시지"

// A read-only view of one payload; the payload must outlive the reader.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit ByteReader(const std::vector<uint8_t>& v) : data_(v.data()), size_(v.size()) {}
    // A temporary would be gone before the first read.
    explicit ByteReader(std::vector<uint8_t>&&) = delete;

    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    float f32();
    // `n` raw bytes; a u32 length followed by that many bytes.
    std::vector<uint8_t> bytes(size_t n);
    std::vector<uint8_t> lengthPrefixed();
    std::vector<uint8_t> rest();
    std::string restString();

    size_t pos() const { return pos_; }
    size_t size() const { return size_; }
    size_t remaining() const { return size_ - pos_; }
    const uint8_t* current() const { return data_ + pos_; }

private:
    const uint8_t* take(size_t width);  // throws "짧은 메시지" without moving
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Appends fields to a caller-owned payload.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v);
    void u16(uint16_t v);
    void u32(uint32_t v);
    void u64(uint64_t v);
    void f32(float v);
    void bytes(const uint8_t* data, size_t n);
    void bytes(const std::vector<uint8_t>& v) { bytes(v.data(), v.size()); }
    void bytes(const std::string& s) { bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
    void lengthPrefixed(const uint8_t* data, size_t n);  // u32 length, then the bytes

private:
    std::vector<uint8_t>& out_;
};

// Big-endian helpers for fixed buffers.
inline uint32_t loadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void storeBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline uint64_t loadBe64(const uint8_t* p) {
    return (uint64_t(loadBe32(p)) << 32) | loadBe32(p + 4);
}
inline void storeBe64(uint8_t* p, uint64_t v) {
    storeBe32(p, uint32_t(v >> 32)); storeBe32(p + 4, uint32_t(v));
}

// Little-endian helpers, for the cryptography's own byte order.
inline uint32_t loadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void storeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline uint64_t loadLe64(const uint8_t* p) { return uint64_t(loadLe32(p)) | (uint64_t(loadLe32(p + 4)) << 32); }
inline void storeLe64(uint8_t* p, uint64_t v) {
    storeLe32(p, uint32_t(v)); storeLe32(p + 4, uint32_t(v >> 32));
}

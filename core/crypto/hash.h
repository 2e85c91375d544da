// SHA-256, SHA-512, HMAC-SHA256 and HKDF-SHA256 as one-shot functions over byte strings,
// and the device ID (a short hex name of a public key).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/util.h"

Bytes sha256(const uint8_t* data, size_t length);                 // 32 bytes
inline Bytes sha256(ByteSpan data) { return sha256(data.data(), data.size()); }
Bytes sha512(const uint8_t* data, size_t length);                 // 64 bytes
inline Bytes sha512(ByteSpan data) { return sha512(data.data(), data.size()); }

// HMAC with SHA-256; a key longer than the 64-byte block is hashed first.
Bytes hmacSha256(ByteSpan key, ByteSpan message);

// HKDF with HMAC-SHA256: extract with `salt` (32 zero bytes when empty), then expand with
// `info` to `length` bytes. At most 255 * 32 bytes; a longer request throws std::length_error.
Bytes hkdfSha256(ByteSpan inputKeyMaterial, ByteSpan salt, ByteSpan info, size_t length);

// Device ID: the first 16 bytes of the SHA-256 of `bytes` as 32 lowercase hex digits.
std::string sha256Hex(ByteSpan bytes);

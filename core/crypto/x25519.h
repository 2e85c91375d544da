// X25519 key agreement, key pairs, the Elligator2 map and the password generator point.
#pragma once

#include <cstdint>
#include <string>

#include "core/util.h"

// Private key as generated or loaded (clamping happens inside x25519) and the public key,
// the little-endian u-coordinate of the private key times the base point u = 9.
struct KeyPair {
    Bytes privateKey;  // 32 bytes
    Bytes publicKey;   // 32 bytes
};

// The X25519 function: out = clamped scalar times the point u (top bit of u ignored).
void x25519(uint8_t out[32], const uint8_t scalar[32], const uint8_t u[32]);
// Public key of a 32-byte private key.
Bytes x25519PublicKey(ByteSpan privateKey);
// Shared secret of a private key and a peer's public key. Throws ProtoError "잘못된 키" when
// either key is not 32 bytes or the result is all zero (the peer sent a low-order point).
Bytes x25519Shared(ByteSpan privateKey, ByteSpan peerPublicKey);

KeyPair keyPairFromSecret(ByteSpan privateKey);  // a 32-byte key; other sizes throw "잘못된 키"
KeyPair newKeyPair();                            // from randomBytes

// Elligator2 map onto curve25519 of a 64-byte hash (only its first 255 bits are used):
// a 32-byte u-coordinate. Other sizes throw std::invalid_argument.
Bytes elligator2Map(ByteSpan hash);
// The secret base point of the password exchange: the Elligator2 map of the SHA-512 of the
// label, the password and the salt, each with a 2-byte big-endian length. A password or salt
// longer than 65535 bytes cannot be encoded and throws ProtoError "잘못된 키".
Bytes cpaceGenerator(const std::string& password, ByteSpan salt);

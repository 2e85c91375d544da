// Short names of a device derived from its X25519 public key: the device ID (32 hex digits,
// for machines; sha256Hex in hash.h) and the access ID (9 decimal digits, for people).
#pragma once

#include <string>

#include "core/crypto/hash.h"
#include "core/util.h"

// SHA-256 of "Varnoth access id v1" and the key; its first 8 bytes as a big-endian number
// modulo 10^9, as nine digits with leading zeros.
std::string accessIdFromKey(ByteSpan publicKey);

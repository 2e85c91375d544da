// The two handshakes that turn a fresh connection into a SecureChannel: by password (a
// CPace-style exchange over X25519 for peers that have never met) and between paired devices
// that know each other's long-term keys.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/crypto/x25519.h"
#include "core/util.h"
#include "net/channel.h"
#include "net/framed.h"

// Where a handshake takes its salt and ephemeral secrets from; an empty one means the
// system generator. Tests pass a fixed stream to pin the bytes on the wire.
using RandomSource = std::function<void(uint8_t* buf, size_t length)>;

// Frames a host reads before choosing a handshake: at most this long, within this time.
inline constexpr size_t kMaxHandshakeFrame = 65536;
inline constexpr int kHandshakeTimeoutMs = 10000;

// ---- password ----

// A first frame of exactly 53 bytes starting with "ODPW" and the version byte 1.
bool isPasswordHello(ByteSpan frame);

// Viewer side. Throws PasswordRefused when the host gives no reply (it does not take password
// logins), BadPassword when the reply does not open (wrong password), ProtoError otherwise.
std::shared_ptr<SecureChannel> clientPasswordHandshake(const std::shared_ptr<FramedConn>& conn, const KeyPair& device,
                                                       const std::string& password, ByteSpan identity,
                                                       Bytes& hostPublicKey, Bytes& hostIdentity,
                                                       const RandomSource& random = {});

// Host side, given the first frame the host already read. Throws BadPassword when the
// viewer's confirmation does not open.
std::shared_ptr<SecureChannel> hostPasswordHandshake(const std::shared_ptr<FramedConn>& conn, ByteSpan firstFrame,
                                                     const KeyPair& device, const std::string& password,
                                                     ByteSpan identity, Bytes& clientPublicKey, Bytes& clientIdentity,
                                                     const RandomSource& random = {});

// ---- paired devices ----

// Decides on a client from its device key and identity JSON; returns the host's identity JSON
// to send back, or refuses by throwing.
using PairedJudge = std::function<Bytes(const Bytes& clientPublicKey, const Bytes& clientIdentity)>;

// Viewer side, with the host key stored for the registered computer.
std::shared_ptr<SecureChannel> clientPairedHandshake(const std::shared_ptr<FramedConn>& conn, const KeyPair& device,
                                                     ByteSpan hostPublicKey, ByteSpan identity, Bytes& hostIdentity,
                                                     const RandomSource& random = {});

// Host side, given the first frame the host already read.
std::shared_ptr<SecureChannel> hostPairedHandshake(const std::shared_ptr<FramedConn>& conn, ByteSpan firstFrame,
                                                   const KeyPair& device, const PairedJudge& judge,
                                                   Bytes& clientPublicKey, const RandomSource& random = {});

// Host side reading the first frame itself.
std::shared_ptr<SecureChannel> hostPairedHandshakeRead(const std::shared_ptr<FramedConn>& conn, const KeyPair& device,
                                                       const PairedJudge& judge, Bytes& clientPublicKey,
                                                       const RandomSource& random = {});

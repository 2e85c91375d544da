#include "net/handshake.h"

#include <cstring>

#include "core/crypto/aead.h"
#include "core/crypto/hash.h"
#include "core/wire.h"

namespace {

const uint8_t kPasswordMagic[5] = {'O', 'D', 'P', 'W', 0x01};
constexpr size_t kPasswordHelloSize = 53;
const char* const kPasswordLabel = "Varnoth password v1";
const char* const kHandshakeLabel = "Varnoth handshake v1";

ByteSpan label(const char* text) { return ByteSpan(reinterpret_cast<const uint8_t*>(text), std::strlen(text)); }

ByteSpan slice(ByteSpan bytes, size_t from, size_t length) { return bytes.subspan(from, length); }
ByteSpan sliceFrom(ByteSpan bytes, size_t from) { return bytes.subspan(from); }

Bytes hashOf(std::initializer_list<ByteSpan> parts) { return sha256(concatBytes(parts)); }

void fillRandom(const RandomSource& random, uint8_t* buf, size_t length) {
    if (random) {
        random(buf, length);
    } else {
        randomBytes(buf, int(length));
    }
}

KeyPair freshKeyPair(const RandomSource& random) {
    if (!random) return newKeyPair();
    Bytes secret(32);
    random(secret.data(), secret.size());
    return keyPairFromSecret(secret);
}

void sendOrThrow(FramedConn& conn, ByteSpan frame) {
    if (!conn.sendFrame(frame)) throw ProtoError(kConnClosed);
}

// Password exchange: the two keys that seal its confirmation records.
Bytes deriveDirectionKey(ByteSpan isk, ByteSpan th1, const char* which) {
    return hkdfSha256(isk, th1, label(which), 32);
}

// 64 bytes: the client-to-host key, then the host-to-client key.
Bytes deriveSessionKeys(ByteSpan inputKeyMaterial, ByteSpan transcript) {
    return hkdfSha256(inputKeyMaterial, transcript, label("keys"), 64);
}

// Paired exchange: the transcript's start, bound to the host's device key.
Bytes initialTranscriptHash(ByteSpan hostPublicKey) { return hashOf({label(kHandshakeLabel), hostPublicKey}); }

Bytes deriveK1(ByteSpan sharedSecret, ByteSpan h0) { return hkdfSha256(sharedSecret, h0, label("k1"), 32); }

std::shared_ptr<SecureChannel> makeChannel(const std::shared_ptr<FramedConn>& conn, const Bytes& keys, bool client,
                                           uint64_t clientToHostStart, uint64_t hostToClientStart) {
    CipherState clientToHost(Bytes(keys.begin(), keys.begin() + 32), clientToHostStart);
    CipherState hostToClient(Bytes(keys.begin() + 32, keys.end()), hostToClientStart);
    if (client) return std::make_shared<SecureChannel>(conn, std::move(clientToHost), std::move(hostToClient));
    return std::make_shared<SecureChannel>(conn, std::move(hostToClient), std::move(clientToHost));
}

}  // namespace

// ---- password ----

bool isPasswordHello(ByteSpan frame) {
    return frame.size() == kPasswordHelloSize && std::memcmp(frame.data(), kPasswordMagic, sizeof kPasswordMagic) == 0;
}

std::shared_ptr<SecureChannel> clientPasswordHandshake(const std::shared_ptr<FramedConn>& conn, const KeyPair& device,
                                                       const std::string& password, ByteSpan identity,
                                                       Bytes& hostPublicKey, Bytes& hostIdentity,
                                                       const RandomSource& random) {
    Bytes salt(16);
    fillRandom(random, salt.data(), salt.size());
    Bytes generator = cpaceGenerator(password, salt);
    KeyPair ephemeral = freshKeyPair(random);
    Bytes ya = x25519Shared(ephemeral.privateKey, generator);
    Bytes hello = concatBytes({ByteSpan(kPasswordMagic), salt, ya});
    sendOrThrow(*conn, hello);

    Bytes reply;
    try {
        reply = conn->readFrame(kMaxHandshakeFrame, kHandshakeTimeoutMs);
    } catch (const ProtoError&) {
        // A host that does not take password logins simply closes the connection.
        throw PasswordRefused();
    }
    if (reply.size() < 80) throw ProtoError("짧은 응답");
    ByteSpan yb = slice(reply, 0, 32);
    Bytes k = x25519Shared(ephemeral.privateKey, yb);
    Bytes th1 = hashOf({label(kPasswordLabel), hello, yb});
    Bytes isk = hkdfSha256(k, th1, label("isk"), 32);

    CipherState hostKey(deriveDirectionKey(isk, th1, "host"));
    Bytes hostPart;
    try {
        hostPart = hostKey.open(sliceFrom(reply, 32), th1);
    } catch (const ProtoError&) {
        conn->shutdown();
        throw BadPassword();
    }
    if (hostPart.size() < 32) throw ProtoError("짧은 응답");
    Bytes hostKeyPublic(hostPart.begin(), hostPart.begin() + 32);

    Bytes th2 = hashOf({th1, reply});
    CipherState clientKey(deriveDirectionKey(isk, th1, "client"));
    Bytes confirmation = clientKey.seal(concatBytes({device.publicKey, identity}), th2);
    sendOrThrow(*conn, confirmation);

    Bytes th3 = hashOf({th2, confirmation});
    Bytes ss = x25519Shared(device.privateKey, hostKeyPublic);
    Bytes keys = deriveSessionKeys(concatBytes({isk, ss}), th3);
    hostIdentity.assign(hostPart.begin() + 32, hostPart.end());
    hostPublicKey = std::move(hostKeyPublic);
    return makeChannel(conn, keys, true, 0, 0);
}

std::shared_ptr<SecureChannel> hostPasswordHandshake(const std::shared_ptr<FramedConn>& conn, ByteSpan firstFrame,
                                                     const KeyPair& device, const std::string& password,
                                                     ByteSpan identity, Bytes& clientPublicKey, Bytes& clientIdentity,
                                                     const RandomSource& random) {
    if (!isPasswordHello(firstFrame)) throw ProtoError("비밀번호 인사 아님");
    ByteSpan salt = slice(firstFrame, 5, 16);
    ByteSpan ya = slice(firstFrame, 21, 32);

    Bytes generator = cpaceGenerator(password, Bytes(salt.begin(), salt.end()));
    KeyPair ephemeral = freshKeyPair(random);
    Bytes yb = x25519Shared(ephemeral.privateKey, generator);
    Bytes k = x25519Shared(ephemeral.privateKey, ya);
    Bytes th1 = hashOf({label(kPasswordLabel), firstFrame, yb});
    Bytes isk = hkdfSha256(k, th1, label("isk"), 32);

    CipherState hostKey(deriveDirectionKey(isk, th1, "host"));
    Bytes sealed = hostKey.seal(concatBytes({device.publicKey, identity}), th1);
    Bytes reply = concatBytes({yb, sealed});
    sendOrThrow(*conn, reply);

    Bytes th2 = hashOf({th1, reply});
    Bytes confirmation = conn->readFrame(kMaxHandshakeFrame, kHandshakeTimeoutMs);
    CipherState clientKey(deriveDirectionKey(isk, th1, "client"));
    Bytes clientPart;
    try {
        clientPart = clientKey.open(confirmation, th2);
    } catch (const ProtoError&) {
        throw BadPassword();
    }
    if (clientPart.size() < 32) throw ProtoError("짧은 인사");
    Bytes clientKeyPublic(clientPart.begin(), clientPart.begin() + 32);

    Bytes th3 = hashOf({th2, confirmation});
    Bytes ss = x25519Shared(device.privateKey, clientKeyPublic);
    Bytes keys = deriveSessionKeys(concatBytes({isk, ss}), th3);
    clientIdentity.assign(clientPart.begin() + 32, clientPart.end());
    clientPublicKey = std::move(clientKeyPublic);
    return makeChannel(conn, keys, false, 0, 0);
}

// ---- paired devices ----

std::shared_ptr<SecureChannel> clientPairedHandshake(const std::shared_ptr<FramedConn>& conn, const KeyPair& device,
                                                     ByteSpan hostPublicKey, ByteSpan identity, Bytes& hostIdentity,
                                                     const RandomSource& random) {
    KeyPair ephemeral = freshKeyPair(random);
    Bytes h0 = initialTranscriptHash(hostPublicKey);
    Bytes dhEphemeralStatic = x25519Shared(ephemeral.privateKey, hostPublicKey);
    CipherState k1(deriveK1(dhEphemeralStatic, h0));
    Bytes sealed = k1.seal(concatBytes({device.publicKey, identity}), concatBytes({h0, ephemeral.publicKey}));
    Bytes hello = concatBytes({ephemeral.publicKey, sealed});
    sendOrThrow(*conn, hello);

    Bytes reply = conn->readFrame(kMaxHandshakeFrame, kHandshakeTimeoutMs);
    if (reply.size() < 48) throw ProtoError("짧은 응답");
    ByteSpan hostEphemeral = slice(reply, 0, 32);
    Bytes ikm = concatBytes({x25519Shared(ephemeral.privateKey, hostEphemeral),
                             x25519Shared(device.privateKey, hostEphemeral), dhEphemeralStatic,
                             x25519Shared(device.privateKey, hostPublicKey)});
    Bytes th = hashOf({h0, hello, hostEphemeral});
    Bytes keys = deriveSessionKeys(ikm, th);

    // The reply's seal is the first use of the host-to-client key.
    CipherState hostToClient(Bytes(keys.begin() + 32, keys.end()));
    hostIdentity = hostToClient.open(sliceFrom(reply, 32), th);
    return makeChannel(conn, keys, true, 0, 1);
}

std::shared_ptr<SecureChannel> hostPairedHandshake(const std::shared_ptr<FramedConn>& conn, ByteSpan firstFrame,
                                                   const KeyPair& device, const PairedJudge& judge,
                                                   Bytes& clientPublicKey, const RandomSource& random) {
    if (firstFrame.size() < 80) throw ProtoError("짧은 인사");
    ByteSpan clientEphemeral = slice(firstFrame, 0, 32);
    Bytes h0 = initialTranscriptHash(device.publicKey);
    Bytes dhStaticEphemeral = x25519Shared(device.privateKey, clientEphemeral);
    CipherState k1(deriveK1(dhStaticEphemeral, h0));
    Bytes clientPart = k1.open(sliceFrom(firstFrame, 32), concatBytes({h0, clientEphemeral}));
    if (clientPart.size() < 32) throw ProtoError("짧은 인사");
    Bytes clientKeyPublic(clientPart.begin(), clientPart.begin() + 32);
    Bytes clientIdentity(clientPart.begin() + 32, clientPart.end());

    // Refusal throws from here, before anything is sent.
    Bytes hostIdentity = judge(clientKeyPublic, clientIdentity);

    KeyPair ephemeral = freshKeyPair(random);
    Bytes ikm = concatBytes({x25519Shared(ephemeral.privateKey, clientEphemeral),
                             x25519Shared(ephemeral.privateKey, clientKeyPublic), dhStaticEphemeral,
                             x25519Shared(device.privateKey, clientKeyPublic)});
    Bytes th = hashOf({h0, firstFrame, ephemeral.publicKey});
    Bytes keys = deriveSessionKeys(ikm, th);

    CipherState hostToClient(Bytes(keys.begin() + 32, keys.end()));
    Bytes sealed = hostToClient.seal(hostIdentity, th);
    sendOrThrow(*conn, concatBytes({ephemeral.publicKey, sealed}));
    clientPublicKey = std::move(clientKeyPublic);
    return makeChannel(conn, keys, false, 0, 1);
}

std::shared_ptr<SecureChannel> hostPairedHandshakeRead(const std::shared_ptr<FramedConn>& conn, const KeyPair& device,
                                                       const PairedJudge& judge, Bytes& clientPublicKey,
                                                       const RandomSource& random) {
    Bytes first = conn->readFrame(kMaxHandshakeFrame, kHandshakeTimeoutMs);
    return hostPairedHandshake(conn, first, device, judge, clientPublicKey, random);
}

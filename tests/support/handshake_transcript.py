#!/usr/bin/env python3
"""Independent reference for the handshake transcript test (tests/net/handshake_test.cpp).

Computes, with python3-cryptography's X25519, ChaCha20-Poly1305 and HKDF and a big-integer
Elligator2 map written here, every frame of both handshakes for the fixed keys, password,
identities and random streams the test uses, plus the first session message each way.
Run it and paste its output into the test when the inputs change.
"""
import hashlib
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives import hashes, serialization

P = 2**255 - 19
A = 486662


def elligator2(h64):
    r = int.from_bytes(h64[:32], "little") & ((1 << 255) - 1)
    v = (-A * pow(1 + 2 * r * r, P - 2, P)) % P
    g = (v * v * v + A * v * v + v) % P
    e = pow(g, (P - 1) // 2, P)
    u = v if e in (0, 1) else (-v - A) % P
    return u.to_bytes(32, "little")


def cpace_generator(password: bytes, salt: bytes):
    data = b"\x00\x17" + b"Varnoth CPace X25519 v1"
    data += len(password).to_bytes(2, "big") + password
    data += len(salt).to_bytes(2, "big") + salt
    return elligator2(hashlib.sha512(data).digest())


def pub(priv):
    return X25519PrivateKey.from_private_bytes(priv).public_key().public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw)


def dh(priv, peer):
    return X25519PrivateKey.from_private_bytes(priv).exchange(X25519PublicKey.from_public_bytes(peer))


def hkdf(ikm, salt, info, n):
    return HKDF(algorithm=hashes.SHA256(), length=n, salt=salt, info=info).derive(ikm)


def H(*parts):
    return hashlib.sha256(b"".join(parts)).digest()


def nonce(counter):
    return b"\x00" * 4 + counter.to_bytes(8, "little")


def seal(key, counter, plain, ad):
    return ChaCha20Poly1305(key).encrypt(nonce(counter), plain, ad)


class Stream:
    """The test's fixed random source: consecutive byte values from a start value."""
    def __init__(self, start):
        self.next = start

    def take(self, n):
        out = bytes((self.next + i) & 0xFF for i in range(n))
        self.next = (self.next + n) & 0xFF
        return out


CLIENT_DEVICE = bytes([0x11] * 32)
HOST_DEVICE = bytes([0x22] * 32)
PASSWORD = "비밀번호 1234".encode()
CLIENT_ID = '{"name":"뷰어","os":"windows"}'.encode()
HOST_ID = '{"name":"호스트","os":"windows"}'.encode()


def show(name, data):
    print(f"{name} ({len(data)}): {data.hex()}")


def password_exchange():
    cr, hr = Stream(0x40), Stream(0x90)
    salt = cr.take(16)
    g = cpace_generator(PASSWORD, salt)
    ya_priv = cr.take(32)
    ya = dh(ya_priv, g)
    hello = b"ODPW\x01" + salt + ya
    yb_priv = hr.take(32)
    yb = dh(yb_priv, g)
    k = dh(yb_priv, ya)
    assert k == dh(ya_priv, yb)
    th1 = H(b"Varnoth password v1", hello, yb)
    isk = hkdf(k, th1, b"isk", 32)
    host_key = hkdf(isk, th1, b"host", 32)
    client_key = hkdf(isk, th1, b"client", 32)
    reply = yb + seal(host_key, 0, pub(HOST_DEVICE) + HOST_ID, th1)
    th2 = H(th1, reply)
    confirmation = seal(client_key, 0, pub(CLIENT_DEVICE) + CLIENT_ID, th2)
    th3 = H(th2, confirmation)
    ss = dh(CLIENT_DEVICE, pub(HOST_DEVICE))
    keys = hkdf(isk + ss, th3, b"keys", 64)
    c2h, h2c = keys[:32], keys[32:]
    show("password hello", hello)
    show("password reply", reply)
    show("password confirmation", confirmation)
    show("password first client message", seal(c2h, 0, b"\x01hi", b""))
    show("password first host message", seal(h2c, 0, b"\x02yo", b""))


def paired_exchange():
    cr, hr = Stream(0x40), Stream(0x90)
    s_h, S_h = HOST_DEVICE, pub(HOST_DEVICE)
    s_c, S_c = CLIENT_DEVICE, pub(CLIENT_DEVICE)
    e_c = cr.take(32)
    E_c = pub(e_c)
    h0 = H(b"Varnoth handshake v1", S_h)
    k1 = hkdf(dh(e_c, S_h), h0, b"k1", 32)
    hello = E_c + seal(k1, 0, S_c + CLIENT_ID, h0 + E_c)
    e_h = hr.take(32)
    E_h = pub(e_h)
    th = H(h0, hello, E_h)
    ikm = dh(e_c, E_h) + dh(s_c, E_h) + dh(e_c, S_h) + dh(s_c, S_h)
    assert ikm == dh(e_h, E_c) + dh(e_h, S_c) + dh(s_h, E_c) + dh(s_h, S_c)
    keys = hkdf(ikm, th, b"keys", 64)
    c2h, h2c = keys[:32], keys[32:]
    reply = E_h + seal(h2c, 0, HOST_ID, th)
    show("paired hello", hello)
    show("paired reply", reply)
    show("paired first client message", seal(c2h, 0, b"\x01hi", b""))
    show("paired first host message", seal(h2c, 1, b"\x02yo", b""))


if __name__ == "__main__":
    password_exchange()
    paired_exchange()

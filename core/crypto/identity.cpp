#include "core/crypto/identity.h"

#include <cstdio>

#include "core/wire.h"

std::string accessIdFromKey(ByteSpan publicKey) {
    static const char kLabel[] = "Varnoth access id v1";
    Bytes input(kLabel, kLabel + sizeof kLabel - 1);
    input.insert(input.end(), publicKey.begin(), publicKey.end());
    Bytes digest = sha256(input);
    unsigned long long n = loadBe64(digest.data()) % 1000000000ULL;
    char text[16];
    std::snprintf(text, sizeof text, "%09llu", n);
    return text;
}

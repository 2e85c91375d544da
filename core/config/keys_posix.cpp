// The native stand-in for the Windows data-protection API, used only where that API does not
// exist: the content is tagged with the owner's user id and refused for any other user; its
// secrecy rests on the owner-only permissions of the profile folder and its files.
#include "core/config/keys.h"

#include <unistd.h>

#include "core/wire.h"

namespace {
constexpr char kStandInMagic[8] = {'T', 'V', 'N', 'S', 'E', 'A', 'L', '1'};
}

bool sealForUser(ByteSpan plain, const std::wstring&, Bytes& sealed) {
    sealed.assign(kStandInMagic, kStandInMagic + sizeof kStandInMagic);
    sealed.resize(sizeof kStandInMagic + 4);
    storeBe32(sealed.data() + sizeof kStandInMagic, uint32_t(geteuid()));
    sealed.insert(sealed.end(), plain.begin(), plain.end());
    return true;
}

bool unsealForUser(ByteSpan sealed, Bytes& plain) {
    plain.clear();
    constexpr size_t header = sizeof kStandInMagic + 4;
    if (sealed.size() < header) return false;
    for (size_t i = 0; i < sizeof kStandInMagic; ++i)
        if (sealed[i] != static_cast<uint8_t>(kStandInMagic[i])) return false;
    if (loadBe32(sealed.data() + sizeof kStandInMagic) != uint32_t(geteuid())) return false;
    plain.assign(sealed.begin() + header, sealed.end());
    return true;
}

#include "media/stream.h"

#include "core/wire.h"

Bytes StreamHeader::encode(const StreamHeader& h) {
    if (h.parameterSets.size() > 255) return {};
    size_t size = 11;
    for (const Bytes& set : h.parameterSets) size += 4 + set.size();
    Bytes out;
    out.reserve(size);
    ByteWriter w(out);
    w.u8(h.codec);
    w.u8(h.nalLengthSize);
    w.u32(h.width);
    w.u32(h.height);
    w.u8(uint8_t(h.parameterSets.size()));
    for (const Bytes& set : h.parameterSets) w.lengthPrefixed(set.data(), set.size());
    return out;
}

StreamHeader StreamHeader::read(ByteSpan payload) {
    ByteReader r(payload.data(), payload.size());
    StreamHeader h;
    h.codec = r.u8();
    h.nalLengthSize = r.u8();
    h.width = r.u32();
    h.height = r.u32();
    const int count = r.u8();
    for (int i = 0; i < count; ++i) h.parameterSets.push_back(r.lengthPrefixed());
    return h;
}

std::vector<ByteSpan> splitAnnexB(const uint8_t* bytes, size_t length) {
    std::vector<ByteSpan> units;
    if (length <= 2) return units;
    bool open = false;
    size_t start = 0;
    size_t i = 0;
    while (i + 2 < length) {
        if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) {
            ++i;
            continue;
        }
        if (open) {
            size_t end = i;
            while (end > start && bytes[end - 1] == 0) --end;
            if (end > start) units.emplace_back(bytes + start, end - start);
        }
        open = true;
        start = i + 3;
        i += 3;
    }
    if (open && start < length) units.emplace_back(bytes + start, length - start);
    return units;
}

namespace {

enum class NalRole { Drop, ParameterSet, Key, Other };

NalRole roleOf(uint8_t first, bool hevc) {
    if (hevc) {
        const int type = (first >> 1) & 0x3f;
        if (type == 35) return NalRole::Drop;
        if (type >= 32 && type <= 34) return NalRole::ParameterSet;
        if (type >= 16 && type <= 21) return NalRole::Key;
        return NalRole::Other;
    }
    const int type = first & 0x1f;
    if (type == 9) return NalRole::Drop;
    if (type == 7 || type == 8) return NalRole::ParameterSet;
    if (type == 5) return NalRole::Key;
    return NalRole::Other;
}

}  // namespace

EncodedAccessUnit packAccessUnit(const uint8_t* annexB, size_t length, bool hevc) {
    EncodedAccessUnit au;
    const std::vector<ByteSpan> units = splitAnnexB(annexB, length);
    size_t size = 0;
    for (ByteSpan u : units) size += 4 + u.size();
    au.payload.reserve(size);
    ByteWriter w(au.payload);
    for (ByteSpan u : units) {
        if (u.empty()) continue;
        switch (roleOf(u[0], hevc)) {
            case NalRole::Drop: break;
            case NalRole::ParameterSet: au.parameterSets.emplace_back(u.begin(), u.end()); break;
            case NalRole::Key: au.keyFrame = true; [[fallthrough]];
            case NalRole::Other: w.lengthPrefixed(u.data(), u.size()); break;
        }
    }
    return au;
}

Bytes lengthPrefixedToAnnexB(ByteSpan payload, int lengthSize, const std::vector<Bytes>* parameterSets) {
    static const uint8_t kStartCode[4] = {0, 0, 0, 1};
    Bytes out;
    out.reserve(payload.size() + 64);
    if (parameterSets) {
        for (const Bytes& set : *parameterSets) {
            out.insert(out.end(), kStartCode, kStartCode + 4);
            out.insert(out.end(), set.begin(), set.end());
        }
    }
    const size_t field = lengthSize >= 1 && lengthSize <= 4 ? size_t(lengthSize) : 4;
    size_t pos = 0;
    while (payload.size() - pos >= field) {
        uint64_t d = 0;
        for (size_t k = 0; k < field; ++k) d = (d << 8) | payload[pos + k];
        pos += field;
        // 64-bit sums: a length near 2^32 must not wrap around to pass the check.
        if (d == 0 || uint64_t(pos) + d > payload.size()) break;
        out.insert(out.end(), kStartCode, kStartCode + 4);
        out.insert(out.end(), payload.begin() + ptrdiff_t(pos), payload.begin() + ptrdiff_t(pos + d));
        pos += size_t(d);
    }
    return out;
}

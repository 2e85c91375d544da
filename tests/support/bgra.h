// One BGRA pixel as tests compare and print it.
#pragma once

#include <cstdint>
#include <ostream>

struct Bgra {
    int b = 0, g = 0, r = 0, a = 0;
    bool operator==(const Bgra&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Bgra& p) {
    return os << "(b " << p.b << ", g " << p.g << ", r " << p.r << ", a " << p.a << ")";
}

// The pixel at (x, y) of an image whose rows lie `pitch` bytes apart.
inline Bgra bgraAt(const uint8_t* pixels, int64_t pitch, int x, int y) {
    const uint8_t* p = pixels + y * pitch + int64_t(x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

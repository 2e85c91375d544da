// How test failures show an input record.
#pragma once

#include <cstdint>
#include <ostream>

#include "host/input.h"

inline void PrintTo(const InputRecord& r, std::ostream* os) {
    if (r.kind == InputRecord::Kind::Mouse)
        *os << "mouse{flags=0x" << std::hex << r.flags << std::dec << " data=" << int32_t(r.mouseData) << " dx=" << r.dx
            << " dy=" << r.dy << "}";
    else
        *os << "key{vk=0x" << std::hex << r.vk << " scan=0x" << r.scan << " flags=0x" << r.flags << std::dec << "}";
}

// Json texts of exactly a given size in the shapes that cost a parser most per byte, for the tests
// and the benchmark of what a peer's message may make the parser build.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

inline constexpr int kJsonShapes = 6;

// A text of exactly `size` bytes of one shape: many tiny values, many empty containers, many
// keys, many short strings, one long string, escapes that grow a string a byte at a time.
inline std::string worstShape(int shape, size_t size) {
    std::string t;
    t.reserve(size);
    auto repeat = [&](const char* first, const char* next, const char* close) {
        t = first;
        const size_t step = std::strlen(next), end = std::strlen(close);
        while (t.size() + step + end <= size) t += next;
        t += close;
    };
    switch (shape) {
    case 0: repeat("[0", ",0", "]"); break;
    case 1: repeat("[[]", ",[]", "]"); break;
    case 2:
        t = "{\"0\":0";
        for (size_t i = 1;; ++i) {
            const std::string key = std::to_string(i);
            if (t.size() + key.size() + 5 + 1 > size) break;
            t += ",\"";
            t += key;
            t += "\":0";
        }
        t += '}';
        break;
    case 3: repeat("[\"a\"", ",\"a\"", "]"); break;
    case 4: t = "[\"" + std::string(size - 4, 'a') + "\"]"; break;
    default: repeat("[\"", "\\n", "\"]"); break;
    }
    t.resize(size, ' ');
    return t;
}

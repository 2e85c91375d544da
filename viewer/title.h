// The viewer window's title while a session runs: a one-line dashboard of the host's name, round
// trip, frame and bit rate of the last second, remote size, route and whether system shortcuts are
// caught, led by a transfer or locked-screen text when there is one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/json.h"

// Longest part of the title after its lead text, in UTF-16 units (the product's buffer held 256
// with the terminator).
inline constexpr size_t kTitleStatsLimit = 255;

struct TitleFacts {
    std::string name;            // UTF-8: the host's own name, or the peer's before it told one
    double rttMs = 0;
    int32_t frames = 0;          // video frames of the last second
    int64_t bytes = 0;           // their payload bytes
    std::string route;           // UTF-8 route label of the session's connection
    bool keyboardHook = false;   // system shortcuts are caught
    std::u16string transferText; // leads the title when not empty
    std::u16string lockedText;   // leads it when there is no transfer text
};

std::u16string viewerTitle(const TitleFacts& facts, const Json& displayInfo);

// The first `limit` UTF-16 units of the text, one fewer when the cut would split a surrogate pair.
std::u16string cutUnits(const std::u16string& text, size_t limit);

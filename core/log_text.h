// Text from outside the program (a peer, a relay) made fit for the log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text a peer (or a relay) supplied, made safe for one log line: control characters, including
// the C1 controls and the Unicode line and paragraph separators, are written as escapes, and more
// than kLogTextLimit bytes are cut at a character boundary and marked with "…".
inline constexpr size_t kLogTextLimit = 1024;
std::string peerTextForLog(std::string_view text);

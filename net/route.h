// The route labels of a connection (FramedConn::route): how it was made. The viewer shows them and
// decides by them whether a failed handshake is retried through the relay.
#pragma once

inline constexpr char kRouteDirect[] = "직접";               // a plain dial or an accepted connection
inline constexpr char kRoutePunched[] = "직접(구멍 뚫기)";   // opened by hole punching
inline constexpr char kRoutePublic[] = "직접(공인 주소)";    // the host's public listening address
inline constexpr char kRouteRelay[] = "중계";                // a pipe through the relay

// The relay line protocol: the opening exchange, relayed connections and the presence query.
// The host's long-lived registration at the relay is relay_agent.h.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/config/settings.h"
#include "core/json.h"
#include "net/framed.h"

// Limits of the relay's lines; everything the relay sends is untrusted input.
inline constexpr size_t kRelayLineMax = 8192;
inline constexpr int kRelayNonceTimeoutMs = 10000;
inline constexpr int kRelayReplyTimeoutMs = 12000;
inline constexpr size_t kRelayStatusLineMax = 65536;
inline constexpr int kRelayStatusTimeoutMs = 5000;

// Dials the relay (6000 ms); throws ProtoError "중계 서버에 연결할 수 없습니다" when that fails.
// bindForReuse is for hole punching only.
std::shared_ptr<FramedConn> connectRelay(const RelayConfig& relay, bool bindForReuse);

// Lowercase hex of HMAC-SHA256 keyed with the secret over nonce || role || id || session.
std::string relayMac(const std::string& secret, const std::string& nonce, const std::string& role,
                     const std::string& id, const std::string& session);

// Reads the relay's nonce line and sends the hello: "role", "id", "session", "mac", then the
// members of `extras` when it is an object (a member named like one of the four replaces it).
void sendRelayHello(FramedConn& conn, const RelayConfig& relay, const std::string& role,
                    const std::string& id, const std::string& session, const Json& extras = Json());

// Reads the relay's reply; returns it only when "ok" is the boolean true, else throws
// ProtoError "중계 서버: " + the relay's error text (or "거부됨").
Json readRelayReply(FramedConn& conn);

// The viewer's relayed byte pipe to the host registered under targetId (route label "중계").
std::shared_ptr<FramedConn> connectViaRelay(const RelayConfig& relay, const std::string& targetId);

// What a relay said about the ids of one presence query.
struct RelayStatus {
    std::map<std::string, bool> online;  // every asked id: whether the relay holds it now
    std::map<std::string, double> seen;  // last-seen times (seconds since 1970) the relay gave
};

// One presence query ("status" role) for ids at one relay. True when the reply counts ("ok" true
// and "online" an array); a relay that cannot be asked logs "중계 서버 상태 묻기 실패".
bool queryRelayStatus(const RelayConfig& relay, const std::vector<std::string>& ids, RelayStatus& out);

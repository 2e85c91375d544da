#include "net/relay.h"

#include <set>
#include <stdexcept>

#include "core/crypto/hash.h"
#include "core/util.h"
#include "core/wire.h"

namespace {

const char* const kBadReply = "중계 서버 응답 형식";

}  // namespace

std::shared_ptr<FramedConn> connectRelay(const RelayConfig& relay, bool bindForReuse) {
    auto conn = connectTcp(relay.host, relay.port, 6000, 0, bindForReuse);
    if (!conn) throw ProtoError("중계 서버에 연결할 수 없습니다");
    return conn;
}

std::string relayMac(const std::string& secret, const std::string& nonce, const std::string& role,
                     const std::string& id, const std::string& session) {
    std::string message = nonce + role + id + session;
    return hexEncode(hmacSha256(asBytes(secret), asBytes(message)));
}

void sendRelayHello(FramedConn& conn, const RelayConfig& relay, const std::string& role, const std::string& id,
                    const std::string& session, const Json& extras) {
    std::string line = conn.readLine(kRelayLineMax, kRelayNonceTimeoutMs);
    Json first;
    if (!Json::parse(line, first) || !first.get("nonce").isString()) throw ProtoError(kBadReply);
    Json hello;
    hello.set("role", Json(role));
    hello.set("id", Json(id));
    hello.set("session", Json(session));
    hello.set("mac", Json(relayMac(relay.secret, first.get("nonce").text, role, id, session)));
    if (extras.isObject()) {
        for (const auto& member : extras.members) hello.set(member.first, member.second);
    }
    conn.sendLine(hello.dump());  // a closed connection shows up in the next read
}

Json readRelayReply(FramedConn& conn) {
    std::string line = conn.readLine(kRelayLineMax, kRelayReplyTimeoutMs);
    Json reply;
    if (!Json::parse(line, reply)) throw ProtoError(kBadReply);
    const Json& ok = reply.get("ok");
    if (ok.isBool() && ok.boolean) return reply;
    const Json& error = reply.get("error");
    throw ProtoError("중계 서버: " + (error.isString() ? error.text : std::string("거부됨")));
}

std::shared_ptr<FramedConn> connectViaRelay(const RelayConfig& relay, const std::string& targetId) {
    auto conn = connectRelay(relay, false);
    try {
        sendRelayHello(*conn, relay, "client", targetId, "");
        readRelayReply(*conn);
        conn->route = kRouteRelay;
    } catch (...) {
        conn->shutdown();
        throw;
    }
    return conn;
}

bool queryRelayStatus(const RelayConfig& relay, const std::vector<std::string>& ids, RelayStatus& out) {
    std::string joined;
    for (size_t i = 0; i < ids.size(); ++i) joined += (i ? "," : "") + ids[i];
    std::shared_ptr<FramedConn> conn;
    Json reply;
    bool parsed = false;
    try {
        conn = connectRelay(relay, false);
        sendRelayHello(*conn, relay, "status", joined, "");
        parsed = Json::parse(conn->readLine(kRelayStatusLineMax, kRelayStatusTimeoutMs), reply);
    } catch (const std::exception&) {
        logLine("중계 서버 상태 묻기 실패");
        return false;
    }
    conn->shutdown();
    const Json& ok = reply.get("ok");
    const Json& online = reply.get("online");
    if (!parsed || !ok.isBool() || !ok.boolean || !online.isArray()) return false;
    std::set<std::string> held;
    for (const Json& item : online.items) held.insert(item.isString() ? item.text : std::string());
    for (const std::string& id : ids) out.online[id] = held.count(id) > 0;
    const Json& seen = reply.get("seen");
    if (seen.isObject()) {
        for (const auto& member : seen.members) out.seen[member.first] = member.second.asNumber(0);
    }
    return true;
}

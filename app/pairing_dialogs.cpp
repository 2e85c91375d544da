#include "app/pairing_dialogs.h"

#include <algorithm>
#include <cstdio>

#include "core/config/address.h"
#include "core/config/keys.h"
#include "core/text.h"
#include "files/fileio.h"
#include "net/framed.h"

namespace {

// Beyond this the system's local-time conversion gives up (year 3000).
constexpr int64_t kLatestTime = 32503680000;
constexpr size_t kMinPasswordUnits = 8;
constexpr char kDefaultPort[] = ":47800";

}  // namespace

std::wstring pairingIntro(double expiry, const LocalTimeFn& localTime) {
    std::wstring until;
    LocalTimeParts t;
    if (localTime && localTime(checkedTrunc(expiry, 0, kLatestTime, 0), t)) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%02d:%02d", t.hour, t.minute);
        until.assign(digits, digits + std::char_traits<char>::length(digits));
    }
    return L"연결할 Mac · PC 의 Tavrel 에서 '연결할 컴퓨터 추가…'에 붙여 넣으세요.\n" + until +
           L" 까지 한 번만 쓸 수 있습니다. 본인 기기 사이에서만 주고받으세요.";
}

AddressProblem peerFromAddress(const std::string& text, double now, Peer& peer, Bytes& token) {
    PeerAddress address;
    if (!parsePeerAddress(text, address)) return AddressProblem::Unreadable;
    if (now > address.expiry) return AddressProblem::Expired;
    token.clear();
    if (!base64Decode(address.token, token)) token.clear();  // the host then refuses the pairing
    peer = Peer();
    peer.name = address.name;
    peer.key = address.key;
    peer.addresses = address.addresses;
    peer.relay = address.relay;
    return AddressProblem::None;
}

bool peerFromTarget(const std::string& target, const AppConfig& config, Peer& peer) {
    peer = Peer();
    const std::string digits = parseAccessId(wideFromUtf8(target));
    if (!digits.empty()) {
        peer.name = utf8FromWide(L"접속 ID " + formatAccessId(digits));
        peer.accessId = digits;
        peer.relay = effectiveRelay(config);
        return true;
    }
    if (target.empty()) return false;
    std::string address = target;
    const auto colons = std::count(target.begin(), target.end(), ':');
    if (colons == 0) {
        address += kDefaultPort;
    } else if (target.back() == ']') {
        address += kDefaultPort;  // "[v6]" without a port
    } else if (colons >= 2 && target.find('[') == std::string::npos) {
        address = "[" + target + "]" + kDefaultPort;  // a bare IPv6 address
    }
    std::string host;
    int port = 0;
    if (!splitHostPort(address, host, port)) return false;
    peer.name = target;
    peer.addresses = {address};
    return true;
}

size_t utf16Units(const std::string& utf8) {
    size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++units;  // every sequence starts with one byte that is no continuation
        if (c >= 0xF0) ++units;           // outside the basic plane: a surrogate pair
    }
    return units;
}

void wipeTyped(std::string& text) {
    wipeSecret(text.data(), text.size());
    text.clear();
}

void wipeTyped(std::wstring& text) {
    wipeSecret(text.data(), text.size() * sizeof(wchar_t));
    text.clear();
}

PasswordChoice choosePassword(std::wstring& typed, std::wstring& confirmation, bool passwordStored,
                              const PasswordNormalizer& normalize) {
    PasswordChoice choice;
    if (typed.empty() && confirmation.empty()) {
        if (passwordStored)
            choice.kind = PasswordChoice::Keep;
        else
            choice.error = "비밀번호를 정하세요.";
    } else if (typed != confirmation) {
        choice.error = "두 비밀번호가 다릅니다.";
    } else {
        std::string normalized = normalize(typed);
        if (utf16Units(normalized) < kMinPasswordUnits) {
            choice.error = "비밀번호는 8자 이상이어야 합니다.";
        } else {
            choice.kind = PasswordChoice::Store;
            choice.password.assign(normalized);
        }
        wipeTyped(normalized);
    }
    wipeTyped(typed);
    wipeTyped(confirmation);
    return choice;
}

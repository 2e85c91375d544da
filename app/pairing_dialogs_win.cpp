// The four pairing dialogs on Windows: built with the dialog builder, deciding through the portable
// half, and reporting errors in message boxes.
#include "app/pairing_dialogs.h"

#include <windows.h>

#include <exception>
#include <vector>

#include "app/tray.h"
#include "app/viewers.h"
#include "core/config/address.h"
#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/crypto/identity.h"
#include "core/text.h"
#include "host/server.h"
#include "net/framed.h"
#include "viewer/dialog.h"

namespace {

constexpr wchar_t kNotSavedCaption[] = L"저장하지 못했습니다";

Field field(const wchar_t* label, std::wstring value, bool readOnly, bool multiLine, bool password) {
    Field f;
    f.label = label;
    f.value = std::move(value);
    f.readOnly = readOnly;
    f.multiLine = multiLine;
    f.password = password;
    return f;
}

// The copy buttons: nothing happens when the clipboard cannot be opened.
void copyText(const std::wstring& text, CopyKind kind) {
    if (OpenClipboard(tray().trayWindow)) copyToClipboard(text, kind);
}

// Overwrites the typed passwords when the command ends, however it ends.
class PasswordWipe {
public:
    explicit PasswordWipe(std::vector<Field>& fields) : fields_(fields) {}
    ~PasswordWipe() {
        for (Field& f : fields_)
            if (f.password) wipeTyped(f.value);
    }
    PasswordWipe(const PasswordWipe&) = delete;
    PasswordWipe& operator=(const PasswordWipe&) = delete;

private:
    std::vector<Field>& fields_;
};

class TextWipe {
public:
    explicit TextWipe(std::string& text) : text_(text) {}
    ~TextWipe() { wipeTyped(text_); }
    TextWipe(const TextWipe&) = delete;
    TextWipe& operator=(const TextWipe&) = delete;

private:
    std::string& text_;
};

void box(const std::wstring& text, const std::wstring& caption) { pairingServices().messageBox(text, caption); }

// Opens the window; nothing may leave the tray's window procedure, so a failure is only logged.
void openViewerLogged(const Peer& peer, const Bytes& token, const std::string& password) {
    try {
        pairingServices().openViewer(peer, token, password);
    } catch (const std::exception& e) {
        logLine(e.what());
    }
}

}  // namespace

PairingServices productPairingServices() {
    PairingServices s;
    s.setHosting = [](bool on, bool notify) { ::setHosting(on, notify); };
    s.openViewer = [](const Peer& peer, const Bytes& token, const std::string& password) {
        ::openViewer(peer, token, password);
    };
    s.savePassword = [](const std::string& password) { return ::savePassword(password); };
    s.messageBox = [](const std::wstring& text, const std::wstring& caption) {
        MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST);
    };
    s.now = nowSeconds;
    s.localTime = systemLocalTime;
    s.makeAddress = [](double& expiry) {
        HostServer& server = HostServer::instance();
        AppConfig settings = configStore().get();
        // The string names the port the host listens on, whatever the settings say meanwhile.
        if (const int listening = server.port(); listening > 0) settings.port = listening;
        return makeOwnPeerAddress(server.pairing, server.deviceKey(), expiry, localIPv4Addresses(), localHostName(),
                                  settings);
    };
    return s;
}

PairingServices& pairingServices() {
    static PairingServices services = productPairingServices();
    return services;
}

void makeCode() {
    PairingServices& services = pairingServices();
    // The dialog is shown even when hosting does not start: setHosting reports that itself.
    if (!configStore().get().hosting) services.setHosting(true, true);
    double expiry = 0;
    std::string address;
    try {
        address = services.makeAddress(expiry);
    } catch (const std::exception& e) {
        logLine(std::string("짝 맺기 코드를 만들지 못함: ") + e.what());
        box(L"짝 맺기 코드를 만들지 못했습니다. 잠시 후 다시 해 보세요.", L"짝 맺기 코드");
        return;
    }
    const std::wstring text = utf8ToWide(address);
    std::vector<Field> fields = {field(L"짝 맺기 코드", text, true, true, false)};
    runDialog(L"짝 맺기 코드", pairingIntro(expiry, services.localTime), fields, L"닫기", L"", L"복사",
              [text](std::vector<HWND>&) { copyText(text, CopyKind::Secret); });
    // Closing does not withdraw the code: it stays valid until used once or expired.
}

void addComputer() {
    std::vector<Field> fields = {field(L"짝 맺기 코드", L"", false, true, false)};
    if (!runDialog(L"연결할 컴퓨터 추가", L"원격 Mac · PC 의 Tavrel 에서 만든 짝 맺기 코드를 붙여 넣으세요.", fields,
                   L"연결", L"취소", L"", nullptr))
        return;
    Peer peer;
    Bytes token;
    switch (peerFromAddress(wideToUtf8(fields[0].value), pairingServices().now(), peer, token)) {
        case AddressProblem::Unreadable:
            box(L"'tavrel1:' 로 시작하는 코드 전체를 붙여 넣으세요.", L"코드를 읽을 수 없습니다");
            return;
        case AddressProblem::Expired:
            box(L"원격 컴퓨터에서 새 코드를 만드세요.", L"만료된 코드입니다");
            return;
        case AddressProblem::None:
            break;
    }
    // Remembered once the viewer has connected, not here.
    openViewerLogged(peer, token, std::string());
    wipeSecret(token.data(), token.size());  // the window holds its own copy
}

void setPassword() {
    PairingServices& services = pairingServices();
    bool stored = false;
    {
        std::string password = loadPassword();
        stored = !password.empty();
        wipeTyped(password);
    }
    HostServer& server = HostServer::instance();
    const std::wstring accessId = formatAccessId(accessIdFromKey(server.deviceKey().publicKey));
    std::vector<Field> fields = {
        field(L"접속 ID (다른 컴퓨터에 알려 줄 번호)", accessId, true, false, false),
        field(stored ? L"새 비밀번호 (바꾸지 않으려면 비워 둠)" : L"비밀번호 (8자 이상)", L"", false, false, true),
        field(L"비밀번호 확인", L"", false, false, true),
    };
    const PasswordWipe wipe(fields);
    const bool accepted = runDialog(
        L"비밀번호 접속",
        L"다른 Mac · PC 에서 접속 ID 와 비밀번호를 넣으면 짝 맺기 코드 없이 연결됩니다. 처음 연결된 기기는 '허용한 "
        L"기기'에 등록됩니다. 다른 망에서 붙으려면 양쪽에 같은 중계 서버를 설정하세요.",
        fields, L"켜기 · 저장", L"취소", L"접속 ID 복사",
        [accessId](std::vector<HWND>&) { copyText(accessId, CopyKind::Plain); });
    if (!accepted) return;
    PasswordChoice choice = choosePassword(fields[1].value, fields[2].value, stored, normalizeUtf8);
    const TextWipe wipeChosen(choice.password);
    if (choice.kind == PasswordChoice::Refuse) {
        box(utf8ToWide(choice.error), kNotSavedCaption);
        return;
    }
    if (choice.kind == PasswordChoice::Store) {
        const bool saved = services.savePassword(choice.password);
        wipeTyped(choice.password);  // no longer than needed
        if (!saved) {
            box(L"비밀번호 파일을 쓸 수 없습니다.", kNotSavedCaption);
            return;
        }
        server.passwords.reset();
        logLine("접속 비밀번호 바꿈");
    }
    configStore().update([](AppConfig& c) { c.passwordLogin = true; });
    logLine("비밀번호 접속 켬");
    // Started, or restarted so that the host registers its access ID.
    const bool wasOn = configStore().get().hosting;
    services.setHosting(true, !wasOn);
}

void connectByAccessId() {
    std::vector<Field> fields = {
        field(L"접속 ID (예: 123 456 789) 또는 주소", L"", false, false, false),
        field(L"비밀번호", L"", false, false, true),
    };
    const PasswordWipe wipe(fields);
    const bool accepted =
        runDialog(L"접속 ID · 비밀번호로 연결",
                  L"원격 Mac · PC 의 Tavrel 에서 '비밀번호 접속'에 보이는 접속 ID 와 비밀번호를 넣으세요. 같은 망이면 "
                  L"주소(예: 192.168.0.10)도 됩니다.",
                  fields, L"연결", L"취소", L"", nullptr);
    if (!accepted) return;
    const std::string target = trim(wideToUtf8(fields[0].value));
    std::string password = fields[1].value.empty() ? std::string() : normalizeUtf8(fields[1].value);
    const TextWipe wipePassword(password);
    wipeTyped(fields[1].value);
    if (target.empty() || password.empty()) return;
    Peer peer;
    if (!peerFromTarget(target, configStore().get(), peer)) {
        box(L"접속 ID(숫자 9자리) 또는 주소를 넣으세요.", L"연결할 수 없습니다");
        return;
    }
    openViewerLogged(peer, Bytes(), password);
}

#include "app/tray.h"

#include <algorithm>

#include "core/config/store.h"
#include "core/text.h"

namespace {

std::u16string units(const std::string& utf8) { return utf8ToUtf16(utf8); }

}  // namespace

ProcessNames processNames(const std::wstring& suffix) {
    // The profile folder ignores letter case, so one mutex must stand for every spelling of it.
    return {L"tavrel" + suffix + L".log", L"Local\\Tavrel" + foldProfileName(suffix), L"Local\\Varnoth" + suffix};
}

bool wantsStartHint(const AppConfig& config) { return !config.hosting && config.hosts.empty(); }

PowerAction powerAction(unsigned event) {
    switch (event) {
        case 7:   // resumed by the user
        case 18:  // resumed on its own
            return PowerAction::Resume;
        case 10:  // the power source changed
            return PowerAction::PowerSource;
        default:
            return PowerAction::None;
    }
}

char16_t trayGlyph(TrayState state) {
    switch (state) {
        case TrayState::Controlled:
            return u'\uE890';
        case TrayState::Hosting:
            return u'\uE701';
        case TrayState::Idle:
            break;
    }
    return u'\uE7F4';
}

TrayIconModel trayIconModel(bool session, const std::string& peerName, bool hosting) {
    TrayIconModel model;
    if (session) {
        model.state = TrayState::Controlled;
        model.tip = u"Tavrel \u2014 " + units(peerName) + u" 이(가) 이 PC 를 제어 중";
    } else if (hosting) {
        model.state = TrayState::Hosting;
        model.tip = u"Tavrel \u2014 원격 제어 허용 중";
    } else {
        model.tip = u"Tavrel";
    }
    model.glyph = trayGlyph(model.state);
    return model;
}

bool announceController(std::string& last, bool session, const std::string& peerName) {
    if (!session) {
        last.clear();
        return false;
    }
    if (peerName == last) return false;
    last = peerName;
    return true;
}

std::u16string controllerBalloonText(const std::string& peerName) {
    return units(peerName) + u" 이(가) 이 PC 를 제어하고 있습니다. 메뉴에서 바로 끊을 수 있습니다.";
}

std::u16string connectedNoticeText(const std::string& peerName, const std::string& route) {
    return units(peerName) + u" 이(가) 이 PC 에 연결했습니다 (" + units(route) + u")";
}

std::u16string lockoutNoticeText(int failures) {
    return u"비밀번호가 " + decimal(failures) + u"번 틀렸습니다. 잠시 비밀번호 접속을 받지 않습니다.";
}

std::string lockoutLogLine(int failures) {
    return "비밀번호 " + std::to_string(failures) + "번 틀림 → 비밀번호 접속 잠금";
}

StayAwakeStep stayAwakeStep(const AppConfig& config, bool powerRead, uint8_t acLine, bool active) {
    const bool wanted =
        config.hosting && config.stayAwake && (!powerRead || acLine != 0 || !config.stayAwakeACOnly);
    if (wanted && !active) return StayAwakeStep::Hold;
    if (!wanted && active) return StayAwakeStep::Release;
    return StayAwakeStep::None;
}

void recolourIcon(uint8_t* bgra, size_t pixelCount, bool lightTheme) {
    for (size_t i = 0; i < pixelCount; ++i) {
        uint8_t* p = bgra + i * 4;
        const uint8_t coverage = p[1];
        const uint8_t colour = lightTheme ? 0 : coverage;  // premultiplied white, or black
        p[0] = p[1] = p[2] = colour;
        p[3] = coverage;
    }
}

IconShape iconShape(TrayState state, int size) {
    const int margin = std::max(1, size / 8);
    const int line = std::max(1, size / 16);
    const int left = margin, top = margin, right = size - margin, bottom = size * 11 / 16;
    IconShape shape;
    if (state == TrayState::Controlled) {
        shape.fills.push_back({left, top, right, bottom});
    } else {
        shape.fills.push_back({left, top, right, top + line});
        shape.fills.push_back({left, bottom - line, right, bottom});
        shape.fills.push_back({left, top, left + line, bottom});
        shape.fills.push_back({right - line, top, right, bottom});
    }
    // The stand: a neck below the screen's middle and a foot.
    const int footTop = size * 13 / 16;
    shape.fills.push_back({size / 2 - line, bottom, size / 2 + line, footTop});
    shape.fills.push_back({size / 4, footTop, size - size / 4, footTop + line});
    if (state == TrayState::Hosting) {
        const int diameter = std::max(3, (bottom - top) / 2);
        const int x = (left + right - diameter) / 2, y = (top + bottom - diameter) / 2;
        shape.dot = {x, y, x + diameter, y + diameter};
    }
    return shape;
}

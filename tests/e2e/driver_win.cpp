// The acceptance run's user: one small program that scripts/e2e starts inside a Wine prefix for
// each thing a user does there. It finds the program's windows by class, opens the tray menu the
// way the shell does and picks an item with the keys a user would press, fills and presses the
// program's dialogs and message boxes, and reads texts back. Every wait is bounded; every action
// leaves a picture under build/screens (TAVREL_SCREENS). It prints what it read on standard
// output and ends with 0 when the action was done, 1 with "error: ..." when not.
//
//   e2e_driver tray-window [--ms N]
//   e2e_driver menu --profile P [--shot NAME] LABEL...
//   e2e_driver dialog --title T [--set I=TEXT]... [--get I] [--shot NAME] [--press TEXT] [--ms N]
//   e2e_driver msgbox [--shot NAME] [--press ID] [--ms N]
//   e2e_driver gone --class C [--ms N]
//   e2e_driver testwindow --log FILE [--seconds N] [--every-frame]
//   e2e_driver patches [--min PERCENT] [--shot NAME] [--ms N]
//   e2e_driver video-rect [--ms N]
//   e2e_driver click --x X --y Y
//   e2e_driver keys --text TEXT
//   e2e_driver clipboard-set --text T / clipboard-wait --text T [--ms N]
//   e2e_driver browse [--open NAME]... [--select NAME] [--press TEXT]
//   e2e_driver filedialog --path PATH
//   e2e_driver rewrite-address --text STRING --to HOST:PORT
//   e2e_driver window-text --class C [--has TEXT] [--send LINE [--button TEXT]]
//   e2e_driver close-window --class C / focus --class C / wait-window --class C
//   e2e_driver viewer [--title-has T] [--status-has T] [--picture] [--button|--no-button] [--command NAME]
//                     [--maximize] [--close] [--shot NAME]
//
// Menu labels match an item whose text is the label or starts with it.
#include <windows.h>
#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <commctrl.h>

#include <algorithm>

#include "app/menu.h"
#include "core/config/address.h"
#include "app/tray.h"
#include "core/config/settings.h"
#include "core/json.h"
#include "core/text.h"
#include "core/util.h"
#include "support/gui_win.h"
#include "viewer/menu_model.h"
#include "support/screenshot.h"

namespace {

constexpr int kDefaultWaitMs = 15000;
constexpr int kMenuSettleMs = 400;  // the popups draw after the keys were taken

struct Failure {
    std::string why;
};

[[noreturn]] void fail(const std::string& why) { throw Failure{why}; }

std::string utf8(const std::wstring& text) { return wideToUtf8(text); }
std::wstring wide(const std::string& text) { return utf8ToWide(text); }

// Command-line options: "--name value" pairs (repeatable) and plain words, in order.
struct Options {
    std::multimap<std::string, std::wstring> named;
    std::vector<std::wstring> words;
    std::vector<std::wstring> flags;

    bool flag(const std::string& name) const {
        for (const std::wstring& f : flags)
            if (utf8(f) == name) return true;
        return false;
    }
    bool has(const std::string& name) const { return named.count(name) != 0; }
    std::wstring get(const std::string& name, const std::wstring& fallback = std::wstring()) const {
        auto it = named.find(name);
        return it == named.end() ? fallback : it->second;
    }
    std::vector<std::wstring> all(const std::string& name) const {
        std::vector<std::wstring> out;
        for (auto [it, end] = named.equal_range(name); it != end; ++it) out.push_back(it->second);
        return out;
    }
    int ms() const { return has("--ms") ? _wtoi(get("--ms").c_str()) : kDefaultWaitMs; }
};

Options parse(int argc, wchar_t** argv, int from) {
    static const char* const kFlags[] = {"--every-frame", "--picture", "--flowing", "--close", "--no-button", "--button",
                                         "--maximize"};
    Options o;
    for (int i = from; i < argc; ++i) {
        const std::string a = utf8(argv[i]);
        bool isFlag = false;
        for (const char* f : kFlags) isFlag = isFlag || a == f;
        if (isFlag) {
            o.flags.push_back(argv[i]);
        } else if (a.rfind("--", 0) == 0 && i + 1 < argc) {
            o.named.emplace(a, argv[++i]);
        } else {
            o.words.push_back(argv[i]);
        }
    }
    return o;
}

// Top-level windows of the class in any other process of this prefix, visible ones only.
std::vector<HWND> visibleWindows(const std::wstring& cls) {
    struct Search {
        const std::wstring* cls;
        std::vector<HWND> found;
    } search{&cls, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != GetCurrentProcessId() && IsWindowVisible(window) && windowClass(window) == *s->cls)
                s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND waitFor(const std::function<HWND()>& find, int ms) {
    HWND found = nullptr;
    pumpUntil([&] { return (found = find()) != nullptr; }, ms);
    return found;
}

// The tray window is hidden; it is found whatever its state.
HWND trayWindow(int ms) {
    return waitFor(
        [] {
            HWND w = FindWindowW(L"TavrelTray", nullptr);
            return w;
        },
        ms);
}

RECT screenRect() { return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}; }

void shot(const Options& o, const std::string& fallback) {
    const std::wstring name = o.get("--shot", wide(fallback));
    if (name.empty()) return;
    if (!saveScreenshot(screenRect(), "e2e-" + utf8(name))) std::printf("note: no picture e2e-%s\n", utf8(name).c_str());
}

std::string readFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The settings the running program saved last, read as it reads them.
AppConfig savedConfig(const std::wstring& profile) {
    PWSTR roaming = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming)) || !roaming) fail("no AppData");
    const std::wstring path = std::wstring(roaming) + L"\\Tavrel-" + profile + L"\\config.json";
    CoTaskMemFree(roaming);
    const std::string text = readFile(path);
    if (text.empty()) return configFromJson(Json());
    Json parsed;
    if (!Json::parse(text, parsed)) fail("config.json unreadable");
    return configFromJson(parsed);
}

// Moving to an item with the arrows: Up lands on the last item whether nothing or the first one
// is chosen, and Down from the last wraps to the first; the menu passes over separators, not over
// greyed items. The menu's length depends on state the driver cannot see (a session, the
// curtain), so an item is reached from whichever end its distance does not depend on it.
int belowCount(const std::vector<MenuNode>& items, size_t index) {
    int n = 0;
    for (size_t i = index + 1; i < items.size(); ++i)
        if (!items[i].separator) ++n;
    return n;
}
int aboveCount(const std::vector<MenuNode>& items, size_t index) {
    int n = 0;
    for (size_t i = 0; i < index; ++i)
        if (!items[i].separator) ++n;
    return n;
}

bool matches(const std::u16string& text, const std::wstring& label) {
    const std::u16string l(label.begin(), label.end());
    return text == l || (!l.empty() && text.rfind(l, 0) == 0);
}

// menu: the tray menu as the program builds it from its saved settings and the state the caller
// names; the path of labels is walked with the arrow keys and the last item chosen with Enter.
int menu(const Options& o) {
    if (!o.has("--profile") || o.words.empty()) fail("menu needs --profile and a label");
    HWND tray = trayWindow(o.ms());
    if (!tray) fail("no tray window");
    DWORD pid = 0;
    GetWindowThreadProcessId(tray, &pid);

    // The menu in every state the driver cannot tell apart; the path's labels must be reached
    // by the same keys in all of them.
    const AppConfig saved = savedConfig(o.get("--profile"));
    std::vector<std::vector<MenuNode>> variants;
    for (int v = 0; v < 4; ++v) {
        TrayFacts facts;
        facts.session = (v & 1) != 0;
        facts.curtainUp = (v & 2) != 0;
        variants.push_back(trayMenu(saved, facts, nullptr, nullptr));
    }

    std::vector<WPARAM> keys;
    std::vector<const std::vector<MenuNode>*> levels;
    for (const auto& v : variants) levels.push_back(&v);
    for (size_t depth = 0; depth < o.words.size(); ++depth) {
        std::vector<size_t> found;
        for (const std::vector<MenuNode>* level : levels) {
            size_t at = level->size();
            for (size_t i = 0; i < level->size() && at == level->size(); ++i)
                if (!(*level)[i].separator && matches((*level)[i].text, o.words[depth])) at = i;
            if (at == level->size()) fail("no menu item " + utf8(o.words[depth]));
            found.push_back(at);
        }
        bool sameAbove = true, sameBelow = true;
        for (size_t k = 1; k < levels.size(); ++k) {
            sameAbove = sameAbove && aboveCount(*levels[k], found[k]) == aboveCount(*levels[0], found[0]);
            sameBelow = sameBelow && belowCount(*levels[k], found[k]) == belowCount(*levels[0], found[0]);
        }
        if (depth > 0) keys.push_back(VK_RIGHT);
        keys.push_back(VK_UP);  // the last item
        if (sameBelow) {
            for (int n = belowCount(*levels[0], found[0]); n > 0; --n) keys.push_back(VK_UP);
        } else if (sameAbove) {
            keys.push_back(VK_DOWN);  // the first item
            for (int n = aboveCount(*levels[0], found[0]); n > 0; --n) keys.push_back(VK_DOWN);
        } else {
            fail("cannot tell where " + utf8(o.words[depth]) + " is");
        }
        const MenuNode& node = (*levels[0])[found[0]];
        if (depth + 1 < o.words.size()) {
            if (!node.popup) fail(utf8(o.words[depth]) + " opens no menu");
            for (size_t k = 0; k < levels.size(); ++k) levels[k] = &(*levels[k])[found[k]].items;
        } else if (node.popup || node.grayed) {
            fail(utf8(o.words[depth]) + " cannot be chosen");
        }
    }

    // A right click on the icon, as the shell reports it with version 4 of the icon protocol.
    if (!PostMessageW(tray, WM_TRAY_NOTIFY, 0, MAKELPARAM(WM_CONTEXTMENU, 1))) fail("could not post to the tray");
    HWND popup = waitFor(
        [&] {
            for (HWND w : visibleWindows(L"#32768")) {
                DWORD owner = 0;
                GetWindowThreadProcessId(w, &owner);
                if (owner == pid) return w;
            }
            return HWND(nullptr);
        },
        o.ms());
    if (!popup) fail("the tray menu did not open");
    // The menu's own loop takes keys from its thread's queue, whichever of its windows they name.
    for (WPARAM key : keys) PostMessageW(popup, WM_KEYDOWN, key, 1);
    pumpFor(kMenuSettleMs);
    shot(o, "menu");
    PostMessageW(popup, WM_KEYDOWN, VK_RETURN, 1);
    const bool closed = pumpUntil([&] { return !IsWindow(popup) || !IsWindowVisible(popup); }, o.ms());
    if (!closed) fail("the tray menu stayed open");
    std::printf("chosen\n");
    return 0;
}

HWND dialogTitled(const std::wstring& title) {
    for (HWND w : visibleWindows(L"TavrelDialog"))
        if (windowText(w) == title) return w;
    return nullptr;
}

std::wstring textOf(HWND window) {
    // Across processes WM_GETTEXT is carried with its buffer; GetWindowText would not ask.
    std::wstring buffer(4096, L'\0');
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), LPARAM(buffer.data()), SMTO_ABORTIFHUNG, 5000, &n))
        return std::wstring();
    buffer.resize(size_t(n));
    return buffer;
}

bool setText(HWND window, const std::wstring& text) {
    DWORD_PTR r = 0;
    return SendMessageTimeoutW(window, WM_SETTEXT, 0, LPARAM(text.c_str()), SMTO_ABORTIFHUNG, 5000, &r) && r;
}

HWND buttonTexted(HWND dialog, const std::wstring& text) {
    for (HWND b : childWindows(dialog, L"Button"))
        if (textOf(b) == text) return b;
    return nullptr;
}

// dialog: waits for a dialog of the program by its title, sets and reads its fields (numbered from
// 0 in the order of the edits), and presses a button by its text.
int dialog(const Options& o) {
    const std::wstring title = o.get("--title");
    HWND d = waitFor([&] { return dialogTitled(title); }, o.ms());
    if (!d) fail("no dialog " + utf8(title));
    pumpFor(200);  // drawn
    const std::vector<HWND> edits = childWindows(d, L"Edit");
    for (const std::wstring& set : o.all("--set")) {
        const size_t eq = set.find(L'=');
        const size_t i = size_t(_wtoi(set.substr(0, eq).c_str()));
        if (eq == std::wstring::npos || i >= edits.size()) fail("no field " + utf8(set));
        if (!setText(edits[i], set.substr(eq + 1))) fail("could not fill field " + std::to_string(i));
    }
    for (const std::wstring& get : o.all("--get")) {
        const size_t i = size_t(_wtoi(get.c_str()));
        if (i >= edits.size()) fail("no field " + utf8(get));
        std::printf("field %zu: %s\n", i, utf8(textOf(edits[i])).c_str());
    }
    pumpFor(100);
    shot(o, "");
    if (o.has("--press")) {
        HWND button = buttonTexted(d, o.get("--press"));
        if (!button) fail("no button " + utf8(o.get("--press")));
        PostMessageW(button, BM_CLICK, 0, 0);
        if (!pumpUntil([&] { return !IsWindow(d) || !IsWindowVisible(d); }, o.ms()))
            fail("the dialog stayed open after " + utf8(o.get("--press")));
    }
    std::printf("done\n");
    return 0;
}

// msgbox: the program's message box: prints its caption and text, presses a button by its id.
int msgbox(const Options& o) {
    HWND box = waitFor(
        [] {
            const std::vector<HWND> boxes = visibleWindows(L"#32770");
            return boxes.empty() ? HWND(nullptr) : boxes.front();
        },
        o.ms());
    if (!box) fail("no message box");
    pumpFor(200);
    std::wstring longest;
    for (HWND s : childWindows(box, L"Static")) {
        std::wstring t = textOf(s);
        if (t.size() > longest.size()) longest = std::move(t);
    }
    std::printf("caption: %s\ntext: %s\n", utf8(textOf(box)).c_str(), utf8(longest).c_str());
    shot(o, "");
    if (o.has("--press")) {
        if (!pressButton(box, _wtoi(o.get("--press").c_str()))) fail("could not press");
        if (!pumpUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, o.ms())) fail("the box stayed open");
    }
    return 0;
}

// The number just before `unit` in a viewer title ("… · 12 fps · 3.4 Mbps …"); -1 without one.
double figureBefore(const std::wstring& title, const std::wstring& unit) {
    const size_t at = title.find(L" " + unit);
    if (at == std::wstring::npos) return -1;
    size_t start = at;
    while (start > 0 && (std::iswdigit(title[start - 1]) || title[start - 1] == L'.')) --start;
    if (start == at) return -1;
    return _wtof(title.substr(start, at - start).c_str());
}

// viewer: waits for a viewer window whose title holds --title-has (when given) and whose status
// line holds --status-has, or is hidden with --picture (the first picture took its place); prints
// title and status. --flowing asks for pictures that keep coming: the title's frame and data
// rates above zero. --maximize maximises it, --close then closes it as its close box does;
// --command posts a menu command.
int viewer(const Options& o) {
    const std::wstring titleHas = o.get("--title-has");
    const std::wstring statusHas = o.get("--status-has");
    const bool picture = o.flag("--picture");
    const bool flowing = o.flag("--flowing");
    HWND found = nullptr, status = nullptr;
    const bool ok = pumpUntil(
        [&] {
            for (HWND w : visibleWindows(L"TavrelViewer")) {
                found = w;
                status = nullptr;
                for (HWND c : childWindows(w, L"Static")) status = c;
                const std::wstring title = textOf(w);
                const bool statusShown = status && IsWindowVisible(status);
                const std::wstring statusText = statusShown ? textOf(status) : std::wstring();
                if (!titleHas.empty() && title.find(titleHas) == std::wstring::npos) continue;
                if (!statusHas.empty() && statusText.find(statusHas) == std::wstring::npos) continue;
                if (picture && statusShown) continue;
                if (flowing && (figureBefore(title, L"fps") <= 0 || figureBefore(title, L"Mbps") <= 0)) continue;
                return true;
            }
            return false;
        },
        o.ms());
    if (found) {
        const bool statusShown = status && IsWindowVisible(status);
        std::printf("title: %s\nstatus: %s\n", utf8(textOf(found)).c_str(),
                    statusShown ? utf8(textOf(status)).c_str() : "(hidden)");
        shot(o, "");
    }
    if (!ok) {
        std::string asked;
        if (!titleHas.empty()) asked += " a title holding '" + utf8(titleHas) + "'";
        if (!statusHas.empty()) asked += " a status holding '" + utf8(statusHas) + "'";
        if (picture) asked += " a picture in place of the status";
        if (flowing) asked += " frame and data rates above zero in the title";
        fail(found ? "expected a viewer window with" + asked + "; seen the title and status above"
                   : "expected a viewer window with" + asked + "; seen no viewer window");
    }
    if (o.flag("--no-button") || o.flag("--button")) {
        HWND button = buttonTexted(found, L"다시 연결");
        const bool shown = button && IsWindowVisible(button);
        std::printf("reconnect button: %s\n", shown ? "shown" : "hidden");
        if (shown != o.flag("--button")) fail(shown ? "the reconnect button is shown" : "no reconnect button");
    }
    if (o.has("--command")) {
        // The menu bar's commands, by the names of their items.
        static const std::map<std::string, unsigned> kCommands = {
            {"reconnect", ViewerId::Reconnect}, {"send-files", ViewerId::SendFiles}, {"curtain", ViewerId::Curtain},
            {"chat", ViewerId::Chat},           {"browse", ViewerId::Browse},
        };
        auto it = kCommands.find(utf8(o.get("--command")));
        if (it == kCommands.end()) fail("unknown viewer command " + utf8(o.get("--command")));
        PostMessageW(found, WM_COMMAND, WPARAM(it->second), 0);
    }
    if (o.flag("--maximize")) {
        PostMessageW(found, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
        if (!pumpUntil([&] { return IsZoomed(found) != FALSE; }, o.ms())) fail("the viewer window did not maximise");
    }
    if (o.flag("--close")) {
        PostMessageW(found, WM_CLOSE, 0, 0);
        if (!pumpUntil([&] { return !IsWindow(found) || !IsWindowVisible(found); }, o.ms()))
            fail("the viewer window stayed open");
    }
    return 0;
}

// ---- the host's test window ----

// Four patches in the quarters of the screen; the viewer's picture must show them.
struct Patch {
    const char* name;
    COLORREF colour;
};
constexpr Patch kPatches[] = {
    {"red", RGB(220, 40, 40)},
    {"green", RGB(40, 180, 60)},
    {"blue", RGB(40, 70, 220)},
    {"yellow", RGB(240, 210, 40)},
};
constexpr int kPatchTolerance = 40;  // per channel: scaling and the codec's colour conversion

FILE* testLog = nullptr;

void logEvent(const char* format, ...) {
    if (!testLog) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(testLog, format, args);
    va_end(args);
    std::fputc('\n', testLog);
    std::fflush(testLog);
}

RECT patchRect(int i, int width, int height) {
    const int x = (i % 2) * width / 2, y = (i / 2) * height / 2;
    return RECT{x, y, x + width / 2, y + height / 2};
}

LRESULT CALLBACK testWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(window, &ps);
            RECT client;
            GetClientRect(window, &client);
            for (int i = 0; i < 4; ++i) {
                HBRUSH brush = CreateSolidBrush(kPatches[i].colour);
                const RECT r = patchRect(i, client.right, client.bottom);
                FillRect(dc, &r, brush);
                DeleteObject(brush);
            }
            EndPaint(window, &ps);
            return 0;
        }
        case WM_TIMER: {
            if (wParam == 3) {
                // The benchmark's screen: all of it changes every frame, its counter written in.
                static unsigned frame = 0;
                ++frame;
                RECT client;
                GetClientRect(window, &client);
                HDC dc = GetDC(window);
                HBRUSH brush = CreateSolidBrush(RGB(frame * 7 % 256, frame * 13 % 256, frame * 29 % 256));
                FillRect(dc, &client, brush);
                DeleteObject(brush);
                wchar_t text[32];
                const int n = swprintf(text, 32, L"%u", frame);
                SetBkMode(dc, OPAQUE);
                TextOutW(dc, 20, 20, text, n);
                ReleaseDC(window, dc);
                return 0;
            }
            // A corner that changes all the time, as a real desktop's clock and caret do: the
            // host sends pictures only when something changes, and Wine's decoder gives its first
            // picture only after several.
            RECT client;
            GetClientRect(window, &client);
            RECT corner{client.right - 48, client.bottom - 48, client.right, client.bottom};
            static int shade = 0;
            shade = (shade + 37) % 200;
            HDC dc = GetDC(window);
            HBRUSH brush = CreateSolidBrush(RGB(shade, shade, shade));
            FillRect(dc, &corner, brush);
            DeleteObject(brush);
            ReleaseDC(window, dc);
            return 0;
        }
        case WM_KEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYDOWN:
        case WM_SYSKEYUP:
            // The scan code and the extended bit travel in lParam; injection by scan code leaves vk 0.
            logEvent("%s vk=%u scan=%u ext=%u", msg == WM_KEYDOWN || msg == WM_SYSKEYDOWN ? "down" : "up",
                     unsigned(wParam), unsigned((lParam >> 16) & 0xFF), unsigned((lParam >> 24) & 1));
            return 0;
        case WM_CHAR:
            logEvent("char %u", unsigned(wParam));
            return 0;
        case WM_LBUTTONDOWN: {
            RECT client;
            GetClientRect(window, &client);
            const int x = short(LOWORD(lParam)), y = short(HIWORD(lParam));
            const char* on = "none";
            for (int i = 0; i < 4; ++i) {
                const RECT r = patchRect(i, client.right, client.bottom);
                const POINT p{x, y};
                if (PtInRect(&r, p)) on = kPatches[i].name;
            }
            logEvent("click %d %d %s", x, y, on);
            return 0;
        }
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

// testwindow: a window over the whole screen showing the four patches, in front and focused, that
// writes every key and click it gets into --log; it ends when closed or after --seconds.
int testWindow(const Options& o) {
    testLog = _wfopen(o.get("--log").c_str(), L"a");
    if (!testLog) fail("cannot write the log");
    WNDCLASSW wc{};
    wc.lpfnWndProc = testWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavrelE2ETest";
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    RegisterClassW(&wc);
    const RECT screen = screenRect();
    HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"e2e patches", WS_POPUP | WS_VISIBLE, 0, 0,
                                  screen.right, screen.bottom, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window) fail("no test window");
    SetForegroundWindow(window);
    SetFocus(window);
    logEvent("ready");
    const int seconds = o.has("--seconds") ? _wtoi(o.get("--seconds").c_str()) : 240;
    SetTimer(window, 1, DWORD(seconds) * 1000, [](HWND w, UINT, UINT_PTR, DWORD) { DestroyWindow(w); });
    SetTimer(window, o.flag("--every-frame") ? 3 : 2, o.flag("--every-frame") ? 16 : 100, nullptr);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    std::fclose(testLog);
    return 0;
}

// ---- the viewer's picture ----

HWND viewerWindow() {
    const std::vector<HWND> viewers = visibleWindows(L"TavrelViewer");
    return viewers.empty() ? nullptr : viewers.back();
}

HWND videoOf(HWND viewer) {
    const std::vector<HWND> video = childWindows(viewer, L"TavrelVideo");
    return video.empty() ? nullptr : video.front();
}

bool closeTo(const uint8_t* bgra, COLORREF c) {
    return std::abs(int(bgra[2]) - int(GetRValue(c))) <= kPatchTolerance &&
           std::abs(int(bgra[1]) - int(GetGValue(c))) <= kPatchTolerance &&
           std::abs(int(bgra[0]) - int(GetBValue(c))) <= kPatchTolerance;
}

// patches: grabs the viewer's video area from the screen and prints, for each patch colour, the
// share of the area showing it and its centre in the video's client coordinates. Succeeds when
// each covers at least --min percent (default 10).
int patches(const Options& o) {
    HWND video = waitFor([] { HWND v = viewerWindow(); return v ? videoOf(v) : nullptr; }, o.ms());
    if (!video) fail("no viewer video");
    RECT r;
    GetClientRect(video, &r);
    MapWindowPoints(video, nullptr, reinterpret_cast<POINT*>(&r), 2);
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0) fail("the video area is empty");
    const double minShare = o.has("--min") ? _wtof(o.get("--min").c_str()) / 100.0 : 0.10;
    bool all = false;
    std::string report;
    pumpUntil(
        [&] {
            DibCanvas canvas(width, height);
            HDC screen = GetDC(nullptr);
            BitBlt(canvas.dc(), 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
            ReleaseDC(nullptr, screen);
            const std::vector<uint8_t> px = canvas.pixels();
            if (px.empty()) return false;
            all = true;
            report.clear();
            for (const Patch& p : kPatches) {
                int64_t n = 0, sx = 0, sy = 0;
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x)
                        if (closeTo(&px[(size_t(y) * width + x) * 4], p.colour)) ++n, sx += x, sy += y;
                const double share = double(n) / (double(width) * height);
                char line[160];
                std::snprintf(line, sizeof line, "%s: %.1f%% at %lld %lld\n", p.name, share * 100,
                              n ? (long long)(sx / n) : -1LL, n ? (long long)(sy / n) : -1LL);
                report += line;
                all = all && share >= minShare;
            }
            return all;
        },
        o.ms());
    std::printf("%s", report.c_str());
    shot(o, "");
    if (!all) fail("the viewer does not show the four patches");
    return 0;
}

// video-rect: the viewer's video area in screen coordinates: "x y width height".
int videoRect(const Options& o) {
    HWND video = waitFor([] { HWND v = viewerWindow(); return v ? videoOf(v) : nullptr; }, o.ms());
    if (!video) fail("no viewer video");
    RECT r;
    GetClientRect(video, &r);
    MapWindowPoints(video, nullptr, reinterpret_cast<POINT*>(&r), 2);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
}

// click: a left click at a point of the viewer's video area (client coordinates), as posted
// mouse messages.
int click(const Options& o) {
    HWND viewer = viewerWindow();
    HWND video = viewer ? videoOf(viewer) : nullptr;
    if (!video) fail("no viewer video");
    const LPARAM at = MAKELPARAM(_wtoi(o.get("--x").c_str()), _wtoi(o.get("--y").c_str()));
    PostMessageW(video, WM_MOUSEMOVE, 0, at);
    PostMessageW(video, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(video, WM_LBUTTONUP, 0, at);
    std::printf("clicked\n");
    return 0;
}

// keys: types the letters and digits of --text and Enter into the viewer window as key-down and
// key-up messages carrying the keyboard's scan codes; the window, not its video area, takes keys.
int keys(const Options& o) {
    HWND viewer = viewerWindow();
    if (!viewer) fail("no viewer window");
    for (wchar_t c : o.get("--text")) {
        const UINT vk = c == L'\n' ? VK_RETURN : UINT(towupper(c));
        const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
        PostMessageW(viewer, WM_KEYDOWN, vk, LPARAM(1 | (scan << 16)));
        PostMessageW(viewer, WM_KEYUP, vk, LPARAM(1 | (scan << 16) | (1u << 30) | (1u << 31)));
        std::printf("%u=%u\n", vk, scan);
    }
    return 0;
}

// ---- the clipboard ----

int clipboardSet(const Options& o) {
    const std::wstring text = o.get("--text");
    if (!OpenClipboard(nullptr)) fail("the clipboard is busy");
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    if (memory) {
        std::memcpy(GlobalLock(memory), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
    }
    CloseClipboard();
    return 0;
}

std::wstring clipboardText() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) return text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = p;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

// clipboard-wait: waits until this prefix's clipboard holds --text.
int clipboardWait(const Options& o) {
    const std::wstring want = o.get("--text");
    std::wstring seen;
    const bool ok = pumpUntil([&] { return (seen = clipboardText()) == want; }, o.ms());
    std::printf("clipboard: %s\n", utf8(seen).c_str());
    if (!ok) fail("the clipboard does not hold the text");
    return 0;
}

int gone(const Options& o);

// ---- the remote file browser: a list view of another process ----

// Memory in another process for the list view messages that carry pointers.
class RemoteBuffer {
public:
    RemoteBuffer(HWND owner, size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(owner, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_) at_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!at_) fail("no memory in the browser's process");
    }
    ~RemoteBuffer() {
        if (at_) VirtualFreeEx(process_, at_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    uint8_t* at() const { return static_cast<uint8_t*>(at_); }
    void write(size_t offset, const void* data, size_t n) const {
        WriteProcessMemory(process_, at() + offset, data, n, nullptr);
    }
    void read(size_t offset, void* data, size_t n) const { ReadProcessMemory(process_, at() + offset, data, n, nullptr); }

private:
    HANDLE process_ = nullptr;
    void* at_ = nullptr;
    size_t size_;
};

std::vector<std::wstring> listNames(HWND list) {
    constexpr size_t kText = 520;
    RemoteBuffer buffer(list, sizeof(LVITEMW) + kText * sizeof(wchar_t));
    const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::wstring> names;
    for (int i = 0; i < count; ++i) {
        LVITEMW item{};
        item.iSubItem = 0;
        item.pszText = reinterpret_cast<wchar_t*>(buffer.at() + sizeof(LVITEMW));
        item.cchTextMax = int(kText);
        buffer.write(0, &item, sizeof item);
        const int n = int(SendMessageW(list, LVM_GETITEMTEXTW, WPARAM(i), LPARAM(buffer.at())));
        std::wstring text(size_t(std::max(n, 0)), L'\0');
        if (n > 0) buffer.read(sizeof(LVITEMW), text.data(), size_t(n) * sizeof(wchar_t));
        names.push_back(text);
    }
    return names;
}

void selectRow(HWND list, int row) {
    RemoteBuffer buffer(list, sizeof(LVITEMW));
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0;
    buffer.write(0, &item, sizeof item);
    SendMessageW(list, LVM_SETITEMSTATE, WPARAM(-1), LPARAM(buffer.at()));  // clears every row
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    buffer.write(0, &item, sizeof item);
    SendMessageW(list, LVM_SETITEMSTATE, WPARAM(row), LPARAM(buffer.at()));
}

// browse: in the viewer's remote file browser, waits for a row named --open (or starting with
// it) and opens it with Enter, as often as given, then selects the row --select and presses the
// button --press. Prints the rows it saw last.
int browse(const Options& o) {
    HWND window = waitFor(
        [] {
            const std::vector<HWND> w = visibleWindows(L"TavrelBrowse");
            return w.empty() ? HWND(nullptr) : w.front();
        },
        o.ms());
    if (!window) fail("no file browser");
    const std::vector<HWND> lists = childWindows(window, L"SysListView32");
    if (lists.empty()) fail("the browser has no list");
    HWND list = lists.front();
    auto waitRow = [&](const std::wstring& name) {
        int row = -1;
        std::vector<std::wstring> names;
        pumpUntil(
            [&] {
                names = listNames(list);
                for (size_t i = 0; i < names.size() && row < 0; ++i)
                    if (names[i] == name || names[i].rfind(name, 0) == 0 ||
                        (names[i].size() > name.size() && names[i].compare(names[i].size() - name.size(), name.size(), name) == 0 &&
                         names[i][names[i].size() - name.size() - 1] == L' '))
                        row = int(i);  // rows may lead with a sign for folders
                return row >= 0;
            },
            o.ms());
        std::printf("rows:");
        for (const std::wstring& n : names) std::printf(" [%s]", utf8(n).c_str());
        std::printf("\n");
        if (row < 0) fail("no row " + utf8(name));
        return row;
    };
    for (const std::wstring& name : o.all("--open")) {
        const int row = waitRow(name);
        selectRow(list, row);
        PostMessageW(list, WM_KEYDOWN, VK_RETURN, 1);
        pumpFor(300);
    }
    if (o.has("--select")) selectRow(list, waitRow(o.get("--select")));
    shot(o, "");
    if (o.has("--press")) {
        HWND button = buttonTexted(window, o.get("--press"));
        if (!button) fail("no button " + utf8(o.get("--press")));
        if (!pumpUntil([&] { return IsWindowEnabled(button) != FALSE; }, o.ms())) fail("the button stays greyed");
        PostMessageW(button, BM_CLICK, 0, 0);
    }
    return 0;
}

// filedialog: the system's file-open box of another process: types --path into its file name
// box and presses Open.
int fileDialog(const Options& o) {
    constexpr int kFileNameCombo = 1148, kFileNameEdit = 1152;
    HWND box = waitFor(
        [] {
            const std::vector<HWND> boxes = visibleWindows(L"#32770");
            return boxes.empty() ? HWND(nullptr) : boxes.front();
        },
        o.ms());
    if (!box) fail("no file box");
    pumpFor(300);
    HWND name = nullptr;
    for (HWND e : childWindows(box, L"Edit")) {
        const int id = GetDlgCtrlID(e), parentId = GetDlgCtrlID(GetParent(e));
        if (id == kFileNameEdit || id == kFileNameCombo || parentId == kFileNameCombo) name = e;
    }
    if (!name) fail("the file box has no name field");
    if (!setText(name, o.get("--path"))) fail("could not type the path");
    shot(o, "");
    if (!pressButton(box, IDOK)) fail("could not press Open");
    if (!pumpUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, o.ms())) fail("the file box stayed open");
    return 0;
}

// rewrite-address: the peer address string --text with its address list replaced by --to, as a
// user edits the string before pasting it.
int rewriteAddress(const Options& o) {
    PeerAddress address;
    if (!parsePeerAddress(utf8(o.get("--text")), address)) fail("not a peer address string");
    std::printf("was:");
    for (const std::string& a : address.addresses) std::printf(" %s", a.c_str());
    std::printf("\n");
    address.addresses = {utf8(o.get("--to"))};
    std::printf("string: %s\n", formatPeerAddress(address).c_str());
    return 0;
}

// window-text: the text of every Edit of the first visible window of the class (a chat log).
int windowTexts(const Options& o) {
    const std::wstring cls = o.get("--class"), has = o.get("--has");
    HWND window = nullptr;
    std::wstring all;
    const bool ok = pumpUntil(
        [&] {
            const std::vector<HWND> w = visibleWindows(cls);
            window = w.empty() ? nullptr : w.front();
            if (!window) return false;
            all.clear();
            for (HWND e : childWindows(window, L"Edit")) all += textOf(e) + L"\n";
            return has.empty() || all.find(has) != std::wstring::npos;
        },
        o.ms());
    if (window) {
        std::printf("title: %s\n%s", utf8(textOf(window)).c_str(), utf8(all).c_str());
        shot(o, "");
    }
    if (!window) fail("no window " + utf8(cls));
    if (!ok) fail("the window does not show " + utf8(has));
    if (o.has("--send")) {
        // Types a line into the window's last edit and presses its default button.
        const std::vector<HWND> edits = childWindows(window, L"Edit");
        if (edits.empty() || !setText(edits.back(), o.get("--send"))) fail("could not type the line");
        HWND button = buttonTexted(window, o.get("--button", L"보내기"));
        if (!button) fail("no send button");
        PostMessageW(button, BM_CLICK, 0, 0);
    }
    return 0;
}

// close-window: closes every visible window of the class, as its close box does.
int closeWindows(const Options& o) {
    for (HWND w : visibleWindows(o.get("--class"))) PostMessageW(w, WM_CLOSE, 0, 0);
    return gone(o);
}

// wait-window: waits for a visible window of the class in another process.
int waitWindow(const Options& o) {
    const std::wstring cls = o.get("--class");
    if (!pumpUntil([&] { return !visibleWindows(cls).empty(); }, o.ms())) fail("no window " + utf8(cls));
    pumpFor(200);
    shot(o, "");
    return 0;
}

// focus: brings the first visible window of the class to the front.
int focus(const Options& o) {
    const std::vector<HWND> w = visibleWindows(o.get("--class"));
    if (w.empty()) fail("no window " + utf8(o.get("--class")));
    SetForegroundWindow(w.front());
    return 0;
}

// gone: waits until no visible window of the class is left in another process.
int gone(const Options& o) {
    const std::wstring cls = o.get("--class");
    if (!pumpUntil([&] { return visibleWindows(cls).empty(); }, o.ms())) fail("a window " + utf8(cls) + " stayed");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("error: no command\n");
        return 2;
    }
    const std::string command = utf8(argv[1]);
    const Options o = parse(argc, argv, 2);
    try {
        if (command == "tray-window") {
            if (!trayWindow(o.ms())) fail("no tray window");
            std::printf("found\n");
            return 0;
        }
        if (command == "menu") return menu(o);
        if (command == "dialog") return dialog(o);
        if (command == "msgbox") return msgbox(o);
        if (command == "gone") return gone(o);
        if (command == "viewer") return viewer(o);
        if (command == "testwindow") return testWindow(o);
        if (command == "patches") return patches(o);
        if (command == "click") return click(o);
        if (command == "browse") return browse(o);
        if (command == "filedialog") return fileDialog(o);
        if (command == "rewrite-address") return rewriteAddress(o);
        if (command == "window-text") return windowTexts(o);
        if (command == "close-window") return closeWindows(o);
        if (command == "focus") return focus(o);
        if (command == "wait-window") return waitWindow(o);
        if (command == "video-rect") return videoRect(o);
        if (command == "keys") return keys(o);
        if (command == "clipboard-set") return clipboardSet(o);
        if (command == "clipboard-wait") return clipboardWait(o);
        fail("unknown command " + command);
    } catch (const Failure& f) {
        std::printf("error: %s\n", f.why.c_str());
        std::fflush(stdout);
        return 1;
    } catch (const std::exception& e) {
        std::printf("error: %s\n", e.what());
        return 1;
    }
}

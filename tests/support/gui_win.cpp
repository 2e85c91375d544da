#include "support/gui_win.h"

#include <commctrl.h>

#include <map>
#include <mutex>
#include <utility>

#include "core/text.h"

std::wstring windowText(HWND window) {
    const int n = GetWindowTextLengthW(window);
    std::wstring text(size_t(n) + 1, L'\0');
    text.resize(size_t(GetWindowTextW(window, text.data(), n + 1)));
    return text;
}

std::wstring windowClass(HWND window) {
    wchar_t name[256] = {};
    return std::wstring(name, size_t(GetClassNameW(window, name, 256)));
}

std::vector<HWND> topWindows(const std::wstring& cls, DWORD pid) {
    struct Search {
        const std::wstring* cls;
        DWORD pid;
        std::vector<HWND> found;
    } search{&cls, pid ? pid : GetCurrentProcessId(), {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->pid && windowClass(window) == *s->cls) s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND waitForWindow(const std::wstring& cls, DWORD pid, int ms) {
    HWND found = nullptr;
    pumpUntil(
        [&] {
            for (HWND w : topWindows(cls, pid))
                if (IsWindowVisible(w)) found = w;
            return found != nullptr;
        },
        ms);
    return found;
}

std::vector<HWND> childWindows(HWND parent, const std::wstring& cls) {
    struct Search {
        const std::wstring* cls;
        std::vector<HWND> found;
    } search{&cls, {}};
    EnumChildWindows(
        parent,
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            if (s->cls->empty() || _wcsicmp(windowClass(window).c_str(), s->cls->c_str()) == 0)
                s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

ControlState controlState(HWND control) {
    ControlState s;
    s.text = windowText(control);
    s.visible = IsWindowVisible(control) != FALSE;
    s.enabled = IsWindowEnabled(control) != FALSE;
    s.checked = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
    return s;
}

void PrintTo(const MenuEntry& entry, std::ostream* out) {
    *out << "{\"" << wideToUtf8(entry.text) << "\" id " << entry.id << (entry.checked ? " checked" : "")
         << (entry.grayed ? " grayed" : "") << (entry.separator ? " separator" : "")
         << (entry.newColumn ? " column" : "");
    if (!entry.popup.empty()) {
        *out << " [";
        for (const MenuEntry& e : entry.popup) PrintTo(e, out);
        *out << "]";
    }
    *out << "} ";
}

std::vector<MenuEntry> readMenu(HMENU menu) {
    std::vector<MenuEntry> entries;
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[512] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = UINT(std::size(text));
        if (!GetMenuItemInfoW(menu, UINT(i), TRUE, &info)) continue;
        MenuEntry e;
        e.separator = (info.fType & MFT_SEPARATOR) != 0;
        e.text = e.separator ? std::wstring() : std::wstring(text);
        e.id = info.hSubMenu ? 0 : info.wID;
        e.checked = (info.fState & MFS_CHECKED) != 0;
        e.grayed = !e.separator && (info.fState & MFS_DISABLED) != 0;  // Wine grays separators
        e.newColumn = (info.fType & MFT_MENUBARBREAK) != 0;
        if (info.hSubMenu) e.popup = readMenu(info.hSubMenu);
        entries.push_back(std::move(e));
    }
    return entries;
}

HWND openPopupMenu() {
    for (HWND w : topWindows(L"#32768"))
        if (IsWindowVisible(w)) return w;
    return nullptr;
}

HMENU menuOfPopup(HWND popup) { return reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0)); }

std::vector<std::vector<std::wstring>> listViewRows(HWND listView) {
    HWND header = reinterpret_cast<HWND>(SendMessageW(listView, LVM_GETHEADER, 0, 0));
    const int columns = header ? std::max(1, int(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0))) : 1;
    const int rows = int(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::vector<std::wstring>> out;
    for (int row = 0; row < rows; ++row) {
        std::vector<std::wstring> cells;
        for (int column = 0; column < columns; ++column) {
            wchar_t text[1024] = {};
            LVITEMW item{};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = int(std::size(text));
            const auto n = SendMessageW(listView, LVM_GETITEMTEXTW, WPARAM(row), reinterpret_cast<LPARAM>(&item));
            cells.emplace_back(text, size_t(n));
        }
        out.push_back(std::move(cells));
    }
    return out;
}

std::wstring dialogMessage(HWND dialog) {
    std::wstring longest;
    for (HWND child : childWindows(dialog, L"Static")) {
        std::wstring text = windowText(child);
        if (text.size() > longest.size()) longest = std::move(text);
    }
    return longest;
}

bool pressButton(HWND dialog, int id) {
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(dialog, id))) != FALSE;
}

namespace {

// Thread timers carry only their id; with the thread's it leads back to the action. Not a
// thread_local map: MinGW frees thread_local storage before it runs the destructors.
std::mutex actionsMutex;
std::map<std::pair<DWORD, UINT_PTR>, ModalAction*> actions;

void setAction(UINT_PTR timer, ModalAction* action) {
    std::lock_guard<std::mutex> lock(actionsMutex);
    if (action) actions[{GetCurrentThreadId(), timer}] = action;
    else actions.erase({GetCurrentThreadId(), timer});
}

ModalAction* actionOf(UINT_PTR timer) {
    std::lock_guard<std::mutex> lock(actionsMutex);
    const auto found = actions.find({GetCurrentThreadId(), timer});
    return found == actions.end() ? nullptr : found->second;
}

}  // namespace

ModalAction::ModalAction(std::function<bool()> act, int intervalMs, int ms)
    : act_(std::move(act)), deadline_(nowNanos() + int64_t(ms) * 1'000'000) {
    timer_ = SetTimer(nullptr, 0, UINT(intervalMs), &ModalAction::tick);
    if (timer_) setAction(timer_, this);
}

ModalAction::~ModalAction() { stop(); }

void ModalAction::stop() {
    if (!timer_) return;
    KillTimer(nullptr, timer_);
    setAction(timer_, nullptr);
    timer_ = 0;
}

void CALLBACK ModalAction::tick(HWND, UINT, UINT_PTR id, DWORD) {
    ModalAction* self = actionOf(id);
    if (!self) return;
    if (self->running_) return;
    self->running_ = true;
    const bool finished = self->act_();
    self->running_ = false;
    if (finished) {
        self->done_ = true;
        self->stop();
    } else if (nowNanos() >= self->deadline_) {
        self->stop();
    }
}

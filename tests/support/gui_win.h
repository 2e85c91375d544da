// The GUI test rig: drives windows in-process as a user or another program would. It finds
// windows by class, reads their texts, control states, menus and list-view rows, and acts inside
// the modal loops (menus, message boxes, dialogs) that the code under test runs, from a timer of
// the same thread. Pumping is support/pump_win.h's, pictures support/screenshot.h's.
#pragma once

#include <windows.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/pump_win.h"
#include "support/screenshot.h"

std::wstring windowText(HWND window);
std::wstring windowClass(HWND window);

// Top-level windows of the class that belong to process `pid` (this process for 0), shown or not.
std::vector<HWND> topWindows(const std::wstring& cls, DWORD pid = 0);
// The first such window that is visible, waiting up to `ms` and pumping this thread meanwhile.
HWND waitForWindow(const std::wstring& cls, DWORD pid = 0, int ms = 5000);
// Descendants of `parent` of the class (every class when empty), in the system's order.
std::vector<HWND> childWindows(HWND parent, const std::wstring& cls = std::wstring());

struct ControlState {
    std::wstring text;
    bool visible = false;
    bool enabled = false;
    bool checked = false;  // buttons: BST_CHECKED
};
ControlState controlState(HWND control);

// One item of a menu, popups read recursively.
struct MenuEntry {
    std::wstring text;
    UINT id = 0;
    bool checked = false;
    bool grayed = false;
    bool separator = false;
    std::vector<MenuEntry> popup;
    bool operator==(const MenuEntry&) const = default;
};
// For test failure messages.
void PrintTo(const MenuEntry& entry, std::ostream* out);
std::vector<MenuEntry> readMenu(HMENU menu);
// The popup menu window (class "#32768") that a menu loop of this process shows now, or null.
HWND openPopupMenu();
HMENU menuOfPopup(HWND popup);

// The rows of a list view of this process, each with the text of every column.
std::vector<std::vector<std::wstring>> listViewRows(HWND listView);

// A dialog box (class "#32770"): its message, the longest static text, and a press of a button.
std::wstring dialogMessage(HWND dialog);
bool pressButton(HWND dialog, int id);

// Runs `act` from a timer of this thread every `intervalMs`, until it returns true or `ms` have
// passed, so a test can act inside a modal loop that the code under test enters on this thread.
// The timer stops when the object is destroyed.
class ModalAction {
public:
    explicit ModalAction(std::function<bool()> act, int intervalMs = 20, int ms = 5000);
    ~ModalAction();
    ModalAction(const ModalAction&) = delete;
    ModalAction& operator=(const ModalAction&) = delete;

    // Whether `act` returned true.
    bool done() const { return done_; }

private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR id, DWORD);
    void stop();

    std::function<bool()> act_;
    int64_t deadline_ = 0;
    UINT_PTR timer_ = 0;
    bool running_ = false;  // `act` may pump messages, and with them this timer
    bool done_ = false;
};

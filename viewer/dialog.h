// The one dialog builder of the program: a title, an optional intro, labelled edit fields and up to
// three buttons, built at run time without templates and run in a modal loop of its own. The tray's
// dialogs and the viewer's locked-screen login use it. Metrics and key handling are portable and
// tested natively; the Windows half applies them.
#pragma once

#include <string>
#include <vector>

// One labelled edit of a dialog; `value` is both the initial text and, after the dialog, the text
// the edit held when it closed.
struct Field {
    std::wstring label;
    std::wstring value;
    bool password = false;
    bool multiLine = false;  // 96 logical pixels high with a vertical scroll bar, instead of 26
    bool readOnly = false;   // never gets the first focus
};

// Lengths in logical pixels at 96 DPI scaled to `dpi`, rounded to the nearest pixel (MulDiv).
int scaleForDpi(int value, int dpi);

struct DialogRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const DialogRect&) const = default;
};

// Where everything of a dialog goes, in client pixels.
struct DialogLayout {
    int clientWidth = 0;
    int clientHeight = 0;
    bool hasIntro = false;
    DialogRect intro;
    std::vector<DialogRect> labels;  // one per field
    std::vector<DialogRect> edits;
    DialogRect ok, cancel, extra;  // cancel and extra are placed even when absent
};

// `introTextHeight` is the measured height of the intro text wrapped to the intro's width
// (introTextWidth), or negative when there is no intro.
DialogLayout dialogLayout(int dpi, int introTextHeight, const std::vector<Field>& fields);
// The width the intro text wraps to.
int introTextWidth(int dpi);

// The field that gets the first focus: the first one that can be edited; -1 when none can.
int firstFocusField(const std::vector<Field>& fields);

// What the modal loop does with a key-down before anything else sees it. Esc anywhere in the
// dialog cancels; Enter anywhere in it accepts, the buttons included, except inside a multi-line
// edit, where the standard dialog keys handle it.
enum class DialogKey { Pass, Cancel, Accept };
DialogKey dialogKeyAction(unsigned virtualKey, bool targetInDialog, bool targetMultiLine);

#ifdef _WIN32
#include <windows.h>

#include <functional>

// Runs a dialog on the calling (UI) thread and returns once it ended: true only when accepted by
// the OK button or Enter. Every field's value is copied back whatever the outcome. An empty
// `cancelText` leaves the cancel button out; an empty `extraText` or `extraCallback` the extra
// button, whose callback gets the edits in field order each time it is pressed. A quit message
// that reaches the dialog's loop ends the dialog unaccepted and is posted again for the caller's
// loop.
bool runDialog(const std::wstring& title, const std::wstring& intro, std::vector<Field>& fields,
               const std::wstring& okText, const std::wstring& cancelText, const std::wstring& extraText,
               std::function<void(std::vector<HWND>&)> extraCallback);

LRESULT CALLBACK dialogWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Puts the text on the clipboard, which the caller has opened, and closes it. A secret is marked
// private: kept out of clipboard history, the cloud clipboard and every clipboard monitor.
enum class CopyKind { Plain, Secret };
void copyToClipboard(const std::wstring& text, CopyKind kind = CopyKind::Plain);
#endif

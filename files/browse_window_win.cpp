// The remote file browser's window: class, controls, window procedure and the list view.
#include "files/browse_window.h"

#include <commctrl.h>

#include <utility>

#include "core/text.h"
#include "files/browse.h"
#include "files/pickers.h"

namespace {

constexpr wchar_t kClassName[] = L"TavrelBrowse";

void registerClassOnce() {
    static const bool registered = [] {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
        InitCommonControlsEx(&controls);
        HINSTANCE module = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = BrowseWindow::wndProc;
        wc.hInstance = module;
        wc.hIcon = LoadIconW(module, MAKEINTRESOURCEW(1));  // none in the program: the system's shows
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

void setText(HWND control, const std::string& text) {
    if (control) SetWindowTextW(control, utf8ToWide(text).c_str());
}

void place(HWND control, const BrowseRect& r) {
    if (control) MoveWindow(control, r.left, r.top, r.width, r.height, TRUE);
}

HWND makeControl(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0) {
    return CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

BrowseWindow::BrowseWindow(std::wstring name) : pickFiles([](HWND owner) {
      return pickFilesToOpen(owner, utf8ToWide(kBrowsePickerTitle));
  }), peerName(std::move(name)) {}

BrowseWindow::~BrowseWindow() {
    if (hwnd) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);  // no message reaches a half-destroyed object
        DestroyWindow(hwnd);
        hwnd = nullptr;
    }
    if (font) DeleteObject(font);
}

LRESULT CALLBACK BrowseWindow::wndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<BrowseWindow*>(create->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        if (self) self->hwnd = window;
    }
    auto* self = reinterpret_cast<BrowseWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (msg == WM_NCDESTROY && self) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->hwnd = nullptr;
        self->list = self->pathLabel = self->upButton = self->receiveButton = self->sendButton = self->status = nullptr;
        return DefWindowProcW(window, msg, wParam, lParam);
    }
    return self ? self->onMessage(msg, wParam, lParam) : DefWindowProcW(window, msg, wParam, lParam);
}

void BrowseWindow::create() {
    if (hwnd) {
        ShowWindow(hwnd, SW_SHOWNORMAL);
        SetForegroundWindow(hwnd);
        return;
    }
    registerClassOnce();
    const int systemDpi = int(GetDpiForSystem());
    const std::wstring title = utf8ToWide(browseTitle(wideToUtf8(peerName)));
    hwnd = CreateWindowExW(0, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                           browseScale(680, systemDpi), browseScale(480, systemDpi), nullptr, nullptr,
                           GetModuleHandleW(nullptr), this);
    if (!hwnd) return;
    font = CreateFontW(-MulDiv(13, systemDpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Malgun Gothic");
    list = makeControl(hwnd, WC_LISTVIEWW, L"", LVS_REPORT | LVS_SHOWSELALWAYS, kBrowseListId, WS_EX_CLIENTEDGE);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    pathLabel = makeControl(hwnd, L"STATIC", L"", SS_PATHELLIPSIS | SS_CENTERIMAGE, 0);
    // Nothing to go up from, receive or send into before the first listing.
    upButton = makeControl(hwnd, L"BUTTON", L"위로", BS_PUSHBUTTON | WS_DISABLED, kBrowseUpId);
    receiveButton = makeControl(hwnd, L"BUTTON", L"받기", BS_PUSHBUTTON | WS_DISABLED, kBrowseReceiveId);
    sendButton = makeControl(hwnd, L"BUTTON", L"이 폴더에 보내기…", BS_PUSHBUTTON | WS_DISABLED, kBrowseSendId);
    status = makeControl(hwnd, L"STATIC", utf8ToWide(kBrowseOpeningText).c_str(), 0, 0);

    struct Column {
        const wchar_t* title;
        int width;
        int format;
    };
    const Column columns[] = {{L"이름", 360, LVCFMT_LEFT}, {L"크기", 90, LVCFMT_RIGHT}, {L"고친 때", 150, LVCFMT_LEFT}};
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = columns[i].format;
        column.cx = browseScale(columns[i].width, systemDpi);
        column.pszText = const_cast<wchar_t*>(columns[i].title);
        column.iSubItem = i;
        ListView_InsertColumn(list, i, &column);
    }
    for (HWND control : {list, pathLabel, upButton, receiveButton, sendButton, status})
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    layout();
    ShowWindow(hwnd, SW_SHOWNORMAL);
    if (listFolder) listFolder(std::string());
}

void BrowseWindow::applyListing(Json parsed) {
    listing = std::move(parsed);
    fillList();
}

LRESULT BrowseWindow::onMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_SIZE:
            layout();
            return 0;
        case WM_CLOSE:
            ShowWindow(hwnd, SW_HIDE);  // the window, its listing and its object live on
            return 0;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (!header || header->idFrom != UINT_PTR(kBrowseListId)) break;
            if (header->code == UINT(NM_DBLCLK)) {
                open(reinterpret_cast<const NMITEMACTIVATE*>(lParam)->iItem);
                return 0;
            }
            if (header->code == UINT(LVN_KEYDOWN) && reinterpret_cast<const NMLVKEYDOWN*>(lParam)->wVKey == VK_RETURN) {
                open(ListView_GetNextItem(list, -1, LVNI_SELECTED));
                return 0;
            }
            break;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case kBrowseUpId: {
                    const Json& parent = listing.get("parent");
                    if (listFolder) listFolder(parent.isString() ? parent.text : std::string());
                    return 0;
                }
                case kBrowseReceiveId:
                    downloadSelection();
                    return 0;
                case kBrowseSendId:
                    uploadHere();
                    return 0;
                default:
                    break;
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void BrowseWindow::layout() {
    if (!hwnd) return;
    RECT client{};
    GetClientRect(hwnd, &client);
    const BrowseLayout at = browseLayout(client.right - client.left, client.bottom - client.top, int(GetDpiForWindow(hwnd)));
    place(upButton, at.up);
    place(sendButton, at.send);
    place(receiveButton, at.receive);
    place(pathLabel, at.path);
    place(list, at.list);
    place(status, at.status);
}

void BrowseWindow::fillList() {
    if (!list) return;
    const bool inFolder = !browseCurrentPath(listing).empty();
    setText(pathLabel, browsePathLine(listing));
    for (HWND button : {upButton, receiveButton, sendButton}) EnableWindow(button, inFolder);
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(list);
    const std::vector<BrowseRow> rows = browseRows(listing);
    for (size_t i = 0; i < rows.size(); ++i) {
        std::wstring cells[3] = {utf8ToWide(rows[i].name), utf8ToWide(rows[i].size), utf8ToWide(rows[i].time)};
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = int(i);
        item.pszText = cells[0].data();
        const int at = ListView_InsertItem(list, &item);
        if (at < 0) continue;
        for (int column = 1; column < 3; ++column) {
            if (!cells[column].empty()) ListView_SetItemText(list, at, column, cells[column].data());
        }
    }
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    setStatus(browseListingStatus(listing));
}

std::string BrowseWindow::pathAt(int row) const { return row < 0 ? std::string() : browsePathAt(listing, size_t(row)); }

void BrowseWindow::open(int row) {
    if (row < 0 || size_t(row) >= browseEntryCount(listing)) return;
    const Json& entry = browseEntry(listing, size_t(row));
    if (browseEntryIsFolder(entry)) {
        setStatus(kBrowseOpeningText);
        if (listFolder) listFolder(pathAt(row));  // the old rows stay until the new listing arrives
        return;
    }
    if (!download) return;
    download({pathAt(row)});
    setStatus(browseReceivingText(browseEntryName(entry)));
}

void BrowseWindow::downloadSelection() {
    std::vector<std::string> paths;
    for (int row = ListView_GetNextItem(list, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(list, row, LVNI_SELECTED)) {
        paths.push_back(pathAt(row));
    }
    if (paths.empty()) {
        setStatus(kBrowseNothingSelectedText);
        return;
    }
    if (download) download(paths);
    setStatus(browseReceivingCountText(paths.size()));
}

void BrowseWindow::uploadHere() {
    const std::string folder = browseCurrentPath(listing);  // listings may arrive while the picker is up
    if (folder.empty() || !pickFiles) return;
    std::vector<std::wstring> chosen;
    {
        // The owner counts the picker's modal loop as its own and defers its deletion until it ends.
        struct Modal {
            BrowseWindow& self;
            explicit Modal(BrowseWindow& s) : self(s) {
                if (self.enterModal) self.enterModal();
            }
            ~Modal() {
                if (self.leaveModal) self.leaveModal();
            }
        } modal(*this);
        chosen = pickFiles(hwnd);
    }
    if (chosen.empty()) return;
    if (upload) upload(chosen, folder);
    setStatus(browseSendingText(chosen.size(), folder));
}

void BrowseWindow::setStatus(const std::string& text) { setText(status, text); }

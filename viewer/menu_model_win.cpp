#include "viewer/menu_model.h"

namespace {

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

bool append(HMENU menu, const std::vector<ViewerMenuItem>& items) {
    for (const ViewerMenuItem& item : items) {
        if (item.separator) {
            if (!AppendMenuW(menu, MF_SEPARATOR, 0, nullptr)) return false;
            continue;
        }
        UINT flags = MF_STRING;
        if (item.grayed) flags |= MF_GRAYED;
        if (item.checked) flags |= MF_CHECKED;
        if (item.newColumn) flags |= MF_MENUBARBREAK;
        UINT_PTR id = item.id;
        if (item.popup) {
            HMENU sub = CreatePopupMenu();
            if (!sub) return false;
            if (!append(sub, item.items)) {
                DestroyMenu(sub);
                return false;
            }
            flags |= MF_POPUP;
            id = reinterpret_cast<UINT_PTR>(sub);
            if (!AppendMenuW(menu, flags, id, wide(item.text))) {
                DestroyMenu(sub);
                return false;
            }
            continue;
        }
        if (!AppendMenuW(menu, flags, id, wide(item.text))) return false;
    }
    return true;
}

}  // namespace

HMENU createViewerMenuBar(const std::vector<ViewerMenuItem>& popups) {
    HMENU bar = CreateMenu();
    if (!bar) return nullptr;
    if (!append(bar, popups)) {
        DestroyMenu(bar);
        return nullptr;
    }
    return bar;
}

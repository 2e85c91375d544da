// Reads a native menu back into the viewer's menu tree, so that tests can compare what a window
// shows with the model it was built from.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "viewer/menu_model.h"

inline std::vector<ViewerMenuItem> readMenu(HMENU menu) {
    std::vector<ViewerMenuItem> items;
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        if (!GetMenuItemInfoW(menu, UINT(i), TRUE, &info)) break;
        std::wstring text(info.cch + 1, L'\0');
        info.dwTypeData = text.data();
        info.cch += 1;
        if (!GetMenuItemInfoW(menu, UINT(i), TRUE, &info)) break;
        text.resize(info.cch);
        ViewerMenuItem item;
        if (info.fType & MFT_SEPARATOR) {
            item.separator = true;
            items.push_back(item);
            continue;
        }
        item.text.assign(text.begin(), text.end());
        item.grayed = (info.fState & MFS_GRAYED) != 0;
        item.checked = (info.fState & MFS_CHECKED) != 0;
        item.newColumn = (info.fType & MFT_MENUBARBREAK) != 0;
        if (info.hSubMenu) {
            item.popup = true;
            item.items = readMenu(info.hSubMenu);
        } else {
            item.id = info.wID;
        }
        items.push_back(std::move(item));
    }
    return items;
}

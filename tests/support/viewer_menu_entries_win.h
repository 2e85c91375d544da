// The viewer's menu model as the GUI rig reads native menus back, so that a window's menu bar can
// be compared with the model it was built from.
#pragma once

#include <string>
#include <vector>

#include "support/gui_win.h"
#include "viewer/menu_model.h"

inline std::vector<MenuEntry> menuEntries(const std::vector<ViewerMenuItem>& items) {
    std::vector<MenuEntry> out;
    for (const ViewerMenuItem& i : items) {
        MenuEntry e;
        e.separator = i.separator;
        if (!i.separator) e.text.assign(i.text.begin(), i.text.end());
        e.id = i.popup ? 0 : i.id;
        e.checked = i.checked;
        e.grayed = i.grayed;
        e.newColumn = i.newColumn;
        e.popup = menuEntries(i.items);
        out.push_back(std::move(e));
    }
    return out;
}

// What the file layer builds on its platform twins alike.
#include "files/fileio.h"

bool listFolder(const std::wstring& folder, std::vector<FolderEntry>& out) {
    out.clear();
    return walkFolder(folder, [&out](const FolderEntry& entry) {
        out.push_back(entry);
        return true;
    });
}

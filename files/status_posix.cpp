// Native stand-ins: no system error texts, and the Downloads folder under the home folder.
#include "files/status.h"

#include <cstdlib>

#include "files/fileio.h"

std::string winErrorText(uint32_t code) { return "오류 " + std::to_string(code); }

std::wstring downloadsFolder() {
    const char* home = std::getenv("HOME");
    ReceiveFolderChoice choice = chooseDownloadsFolder(std::wstring(), home ? wideFromUtf8(home) : std::wstring());
    if (choice.create) createDirectory(choice.folder);
    return choice.folder;
}

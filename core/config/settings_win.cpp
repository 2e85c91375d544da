// The Windows half of the settings record: this PC's default name.
#include "core/config/settings.h"

#include <windows.h>

#include "core/text.h"

std::string defaultDeviceName() {
    wchar_t name[256] = {};
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNamePhysicalDnsHostname, name, &size)) return "Windows PC";
    std::string utf8 = wideToUtf8(std::wstring(name, size));
    return utf8.empty() ? "Windows PC" : utf8;
}

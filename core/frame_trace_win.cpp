#include <windows.h>

#include <cstdlib>

#include "core/frame_trace.h"
#include "core/text.h"

std::string frameTraceSetting() {
    const std::wstring name = utf8ToWide(kFrameTraceVariable);
    const wchar_t* value = _wgetenv(name.c_str());
    return value ? wideToUtf8(value) : "";
}

std::FILE* openFrameTraceFile(const std::string& path) {
    const std::wstring wide = utf8ToWide(path);
    return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"ab");
}

#include <windows.h>

#include <cstdlib>

#include "core/frame_trace.h"
#include "core/text.h"

std::string frameTraceSetting() {
    const std::wstring name = utf8ToWide(kFrameTraceVariable);
    const wchar_t* value = _wgetenv(name.c_str());
    return value ? wideToUtf8(value) : "";
}

// Declarations of documented Windows interfaces that MinGW-w64's headers lack: the extended
// terminal-services session record and the few UI Automation interfaces the host asks about the
// focused control. Windows-only; include after <windows.h>.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <wtsapi32.h>

namespace winapi {

// ---- Terminal services: WTSQuerySessionInformationW(..., WTSSessionInfoEx, ...) ----
inline constexpr WTS_INFO_CLASS WTSSessionInfoEx = WTS_INFO_CLASS(25);
inline constexpr LONG WTS_SESSIONSTATE_UNKNOWN = LONG(0xFFFFFFFF);
inline constexpr LONG WTS_SESSIONSTATE_LOCK = 0;
inline constexpr LONG WTS_SESSIONSTATE_UNLOCK = 1;

struct WTSINFOEX_LEVEL1_W {
    ULONG SessionId;
    WTS_CONNECTSTATE_CLASS SessionState;
    LONG SessionFlags;
    WCHAR WinStationName[WINSTATIONNAME_LENGTH + 1];
    WCHAR UserName[USERNAME_LENGTH + 1];
    WCHAR DomainName[DOMAIN_LENGTH + 1];
    LARGE_INTEGER LogonTime;
    LARGE_INTEGER ConnectTime;
    LARGE_INTEGER DisconnectTime;
    LARGE_INTEGER LastInputTime;
    LARGE_INTEGER CurrentTime;
    DWORD IncomingBytes;
    DWORD OutgoingBytes;
    DWORD IncomingFrames;
    DWORD OutgoingFrames;
    DWORD IncomingCompressedBytes;
    DWORD OutgoingCompressedBytes;
};

union WTSINFOEX_LEVEL_W {
    WTSINFOEX_LEVEL1_W WTSInfoExLevel1;
};

struct WTSINFOEXW {
    DWORD Level;
    WTSINFOEX_LEVEL_W Data;
};

// ---- UI Automation (UIAutomationClient) ----
inline constexpr CLSID CLSID_CUIAutomation = {0xff48dba4, 0x60ef, 0x4201, {0xaa, 0x87, 0x54, 0x10, 0x3e, 0xef, 0x59, 0x4e}};
inline constexpr IID IID_IUIAutomation = {0x30cbe57d, 0xd9d0, 0x452a, {0xab, 0x13, 0x7a, 0xc5, 0xac, 0x48, 0x25, 0xee}};
inline constexpr IID IID_IUIAutomationValuePattern = {0xa94cd8b1, 0x0844, 0x4cd6, {0x9d, 0x2d, 0x64, 0x05, 0x37, 0xab, 0x39, 0xe9}};

inline constexpr int UIA_ComboBoxControlTypeId = 50003;
inline constexpr int UIA_EditControlTypeId = 50004;
inline constexpr int UIA_DocumentControlTypeId = 50030;
inline constexpr int UIA_ValuePatternId = 10002;

// Only the leading methods the host calls are declared: a caller needs the slots up to the last
// one it uses, in the documented order, and nothing here implements these interfaces.
struct IUIAutomationElement : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetFocus() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRuntimeId(SAFEARRAY** runtimeId) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFirst(int scope, IUnknown* condition, IUIAutomationElement** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindAll(int scope, IUnknown* condition, IUnknown** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFirstBuildCache(int scope, IUnknown* condition, IUnknown* cacheRequest,
                                                          IUIAutomationElement** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindAllBuildCache(int scope, IUnknown* condition, IUnknown* cacheRequest,
                                                        IUnknown** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE BuildUpdatedCache(IUnknown* cacheRequest, IUIAutomationElement** updated) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPropertyValue(int propertyId, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPropertyValueEx(int propertyId, BOOL ignoreDefault, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPropertyValue(int propertyId, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPropertyValueEx(int propertyId, BOOL ignoreDefault, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPatternAs(int patternId, REFIID riid, void** pattern) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPatternAs(int patternId, REFIID riid, void** pattern) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPattern(int patternId, IUnknown** pattern) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPattern(int patternId, IUnknown** pattern) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedParent(IUIAutomationElement** parent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedChildren(IUnknown** children) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentProcessId(int* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentControlType(int* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentLocalizedControlType(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAcceleratorKey(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAccessKey(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentHasKeyboardFocus(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsKeyboardFocusable(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAutomationId(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentClassName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentHelpText(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentCulture(int* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsControlElement(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsContentElement(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsPassword(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentNativeWindowHandle(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentItemType(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsOffscreen(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentOrientation(int* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentFrameworkId(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsRequiredForForm(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentItemStatus(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentBoundingRectangle(RECT* value) = 0;
};

struct IUIAutomation : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CompareElements(IUIAutomationElement* a, IUIAutomationElement* b, BOOL* same) = 0;
    virtual HRESULT STDMETHODCALLTYPE CompareRuntimeIds(SAFEARRAY* a, SAFEARRAY* b, BOOL* same) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRootElement(IUIAutomationElement** root) = 0;
    virtual HRESULT STDMETHODCALLTYPE ElementFromHandle(HWND hwnd, IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE ElementFromPoint(POINT pt, IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFocusedElement(IUIAutomationElement** element) = 0;
};

struct IUIAutomationValuePattern : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetValue(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentValue(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsReadOnly(BOOL* value) = 0;
};

}  // namespace winapi

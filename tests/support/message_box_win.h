// Answers the message boxes that code under test shows on its own thread: a watcher thread finds
// the box by its caption, reads its text, takes a screenshot and presses a button.
#pragma once

#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/util.h"

// The window's picture as build/screens/<name>.png (next to the test binary's build folder).
// Returns whether the file was written.
inline bool saveWindowScreenshot(HWND window, const std::wstring& name) {
    RECT r{};
    if (!GetWindowRect(window, &r) || r.right <= r.left || r.bottom <= r.top) return false;
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
        GdiFlush();
        SelectObject(memory, old);
        auto* pixels = static_cast<uint8_t*>(bits);
        for (int i = 0; i < w * h; ++i) pixels[i * 4 + 3] = 0xFF;  // the screen leaves alpha 0

        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring folder = exe;
        folder.resize(folder.find_last_of(L'\\'));
        folder.resize(folder.find_last_of(L'\\'));
        folder += L"\\screens";
        CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring path = folder + L"\\" + name + L".png";

        using Microsoft::WRL::ComPtr;
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            ComPtr<IWICImagingFactory> factory;
            ComPtr<IWICStream> stream;
            ComPtr<IWICBitmapEncoder> encoder;
            ComPtr<IWICBitmapFrameEncode> frame;
            WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
            ok = SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_PPV_ARGS(&factory))) &&
                 SUCCEEDED(factory->CreateStream(&stream)) &&
                 SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
                 SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
                 SUCCEEDED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) &&
                 SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
                 SUCCEEDED(frame->SetSize(UINT(w), UINT(h))) && SUCCEEDED(frame->SetPixelFormat(&format)) &&
                 SUCCEEDED(frame->WritePixels(UINT(h), UINT(w * 4), UINT(w * h * 4), pixels)) &&
                 SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
        }
        if (SUCCEEDED(com)) CoUninitialize();
    }
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

// Waits on a thread of its own for a top-level dialog of this process with the caption, then
// presses `button` (IDYES, IDOK...). Joined by `wait` or the destructor.
class MessageBoxAnswer {
public:
    MessageBoxAnswer(std::wstring caption, int button, std::wstring screenshot = L"", int timeoutMs = 30000)
        : caption_(std::move(caption)), button_(button), screenshot_(std::move(screenshot)) {
        thread_ = std::thread([this, timeoutMs] { run(timeoutMs); });
    }
    ~MessageBoxAnswer() { wait(); }
    MessageBoxAnswer(const MessageBoxAnswer&) = delete;
    MessageBoxAnswer& operator=(const MessageBoxAnswer&) = delete;

    // Whether a box came and was answered.
    bool wait() {
        if (thread_.joinable()) thread_.join();
        return answered_;
    }
    void cancel() { cancelled_ = true; }
    const std::wstring& text() const { return text_; }
    bool screenshotSaved() const { return screenshotSaved_; }

private:
    struct Search {
        const std::wstring* caption;
        HWND found = nullptr;
    };
    static BOOL CALLBACK findBox(HWND window, LPARAM param) {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        wchar_t cls[16] = {}, title[256] = {};
        GetClassNameW(window, cls, 16);
        GetWindowTextW(window, title, 256);
        if (pid == GetCurrentProcessId() && wcscmp(cls, L"#32770") == 0 && *s->caption == title && IsWindowVisible(window)) {
            s->found = window;
            return FALSE;
        }
        return TRUE;
    }
    static BOOL CALLBACK longestStatic(HWND child, LPARAM param) {
        auto* text = reinterpret_cast<std::wstring*>(param);
        wchar_t cls[16] = {};
        GetClassNameW(child, cls, 16);
        if (_wcsicmp(cls, L"Static") != 0) return TRUE;
        wchar_t buffer[2048] = {};
        GetWindowTextW(child, buffer, 2048);
        if (wcslen(buffer) > text->size()) *text = buffer;
        return TRUE;
    }

    void run(int timeoutMs) {
        const int64_t end = nowNanos() + int64_t(timeoutMs) * 1'000'000;
        while (!cancelled_ && nowNanos() < end) {
            Search s{&caption_};
            EnumWindows(findBox, reinterpret_cast<LPARAM>(&s));
            if (s.found) {
                sleepMs(200);  // let it paint
                EnumChildWindows(s.found, longestStatic, reinterpret_cast<LPARAM>(&text_));
                if (!screenshot_.empty()) screenshotSaved_ = saveWindowScreenshot(s.found, screenshot_);
                PostMessageW(s.found, WM_COMMAND, MAKEWPARAM(button_, BN_CLICKED), 0);
                answered_ = true;
                return;
            }
            sleepMs(20);
        }
    }

    std::wstring caption_;
    int button_;
    std::wstring screenshot_;
    std::wstring text_;
    std::atomic<bool> cancelled_{false};
    bool answered_ = false;
    bool screenshotSaved_ = false;
    std::thread thread_;
};

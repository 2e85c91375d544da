// The file-open dialogs: GetOpenFileNameW for files, the shell's IFileOpenDialog for folders.
#include "files/pickers.h"

#include <windows.h>
#include <commdlg.h>
#include <shobjidl.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

std::vector<std::wstring> pickFilesToOpen(void* owner, const std::wstring& title, uint32_t extraFlags) {
    std::wstring buffer(kOpenFileBufferUnits, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = static_cast<HWND>(owner);
    dialog.lpstrFile = buffer.data();
    dialog.nMaxFile = DWORD(buffer.size());
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_ALLOWMULTISELECT | OFN_FILEMUSTEXIST | extraFlags;
    if (!GetOpenFileNameW(&dialog)) return {};
    return parseOpenFileResult(buffer);
}

std::vector<std::wstring> pickFolders(void* owner, const std::wstring& title) {
    std::vector<std::wstring> out;
    ComPtr<IFileOpenDialog> dialog;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                                reinterpret_cast<void**>(dialog.GetAddressOf()))))
        return out;
    FILEOPENDIALOGOPTIONS options = 0;
    if (FAILED(dialog->GetOptions(&options))) options = 0;
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_ALLOWMULTISELECT);
    dialog->SetTitle(title.c_str());
    if (FAILED(dialog->Show(static_cast<HWND>(owner)))) return out;
    ComPtr<IShellItemArray> results;
    if (FAILED(dialog->GetResults(results.GetAddressOf()))) return out;
    DWORD count = 0;
    if (FAILED(results->GetCount(&count))) return out;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IShellItem> item;
        if (FAILED(results->GetItemAt(i, item.GetAddressOf()))) continue;
        PWSTR path = nullptr;
        if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path) out.emplace_back(path);
        if (path) CoTaskMemFree(path);
    }
    return out;
}

// Windows-only parts of the file transfer: system error texts, the clipboard's files, the real
// zone mark, and attributes Wine cannot give a file by its name.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <thread>

#include "files/expand.h"
#include "files/receiver.h"
#include "files/status.h"
#include "support/file_transfer.h"

namespace {

using namespace std::chrono_literals;

TEST(WinFileTexts, SystemErrorTextsWithoutTheirEnd) {
    for (uint32_t code : {kErrDiskFull, kErrTooManyOpenFiles, kErrAccessDenied}) {
        const std::string text = winErrorText(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_NE(text, "오류 " + std::to_string(code));
        EXPECT_EQ(std::string(". \r\n").find(text.back()), std::string::npos) << text;
    }
}

// Only the system knows error texts: a number it has no text for reads as the number.
TEST(WinFileTexts, UnknownErrorsReadAsTheirNumber) {
    EXPECT_EQ(winErrorText(0x7FFF), "오류 32767");
}

TEST(WinFileTexts, DownloadsIsTheKnownFolder) {
    const std::wstring folder = downloadsFolder();
    EXPECT_EQ(fileNamePart(folder), L"Downloads");
    EXPECT_NE(fileAttributes(folder) & kAttrDirectory, 0u);
}

// Puts the paths on the clipboard as a drop list, as Explorer's copy does.
void copyFiles(const std::vector<std::wstring>& paths) {
    std::wstring list;
    for (const auto& p : paths) list += p + L'\0';
    list += L'\0';
    const size_t bytes = sizeof(DROPFILES) + list.size() * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    ASSERT_NE(memory, nullptr);
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), list.data(), list.size() * sizeof(wchar_t));
    GlobalUnlock(memory);
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    if (!SetClipboardData(CF_HDROP, memory)) GlobalFree(memory);
    CloseClipboard();
}

TEST(WinClipboardFiles, CopiedFilesInClipboardOrder) {
    const std::vector<std::wstring> paths = {L"C:\\b\\두번째.txt", L"C:\\a", L"\\\\srv\\share\\x.bin"};
    copyFiles(paths);
    EXPECT_EQ(clipboardFiles(), paths);
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();
    EXPECT_TRUE(clipboardFiles().empty());
}

TEST(WinClipboardFiles, BusyClipboardGivesNothing) {
    copyFiles({L"C:\\x.txt"});
    std::atomic<int> state{0};  // 1: open, 2: may close
    // Another program holding the clipboard: open with a window of its own (Wine lets two openers
    // without a window share it).
    std::thread holder([&] {
        HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        if (!window || !OpenClipboard(window)) {
            state = -1;
            if (window) DestroyWindow(window);
            return;
        }
        state = 1;
        while (state != 2) std::this_thread::sleep_for(1ms);
        CloseClipboard();
        DestroyWindow(window);
    });
    ASSERT_TRUE(waitFor([&] { return state != 0; }));
    ASSERT_EQ(state, 1);
    EXPECT_TRUE(clipboardFiles().empty());  // about 270 ms of tries
    state = 2;
    holder.join();
    EXPECT_EQ(clipboardFiles(), std::vector<std::wstring>{L"C:\\x.txt"});
}

// The real zone mark: under Wine an ordinary file named after the stream.
TEST(WinFileReceiver, ZoneMarkBesideTheSavedFile) {
    TempFolder dest;
    ReceiverRig rig(dest.wide());
    rig.receiver.zoneMark = writeZoneMark;
    rig.file(2, 1, 0, 1, "x.txt", bytesOf("content"));
    EXPECT_EQ(readFile(dest / L"x.txt"), bytesOf("content"));
    EXPECT_EQ(readFile(longPath(dest / L"x.txt:Zone.Identifier")),
              bytesOf("[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=about:internet\r\n"));
}

TEST(WinBatchExpansion, HiddenAndSystemEntriesOnlyWhenPicked) {
    TempFolder dir;
    const std::wstring folder = dir / L"Photos";
    putFolder(folder);
    putFile(folder + L"\\a.jpg", bytesOf("a"));
    putFile(folder + L"\\desktop.ini", bytesOf("[.ShellClassInfo]"));
    putFile(folder + L"\\system.dat", bytesOf("s"));
    putFolder(folder + L"\\Hidden");
    putFile(folder + L"\\Hidden\\b.jpg", bytesOf("b"));
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\desktop.ini").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\system.dat").c_str(), FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\Hidden").c_str(), FILE_ATTRIBUTE_HIDDEN));
    auto inFolder = expandBatch({folder});
    ASSERT_EQ(inFolder.size(), 1u);
    EXPECT_EQ(inFolder[0].relPath, "Photos/a.jpg");
    auto picked = expandBatch({folder + L"\\desktop.ini"});
    ASSERT_EQ(picked.size(), 1u);
    EXPECT_EQ(picked[0].relPath, "desktop.ini");
    EXPECT_EQ(picked[0].size, 17u);
}

}  // namespace

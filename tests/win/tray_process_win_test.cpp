// tavrel.exe started as a user starts it, in user folders of its own: one process per profile
// folder, a box that refuses a second one, refusals without a folder of its own, the lock switches,
// and an end by the quit message.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/tray.h"
#include "core/config/settings.h"
#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "core/text.h"
#include "net/framed.h"
#include "support/gui_win.h"
#include "support/program_win.h"
#include "support/run_tool.h"

namespace {

const std::wstring kAlreadyRunning = L"Tavrel 가 이미 실행 중입니다. 알림 영역(시계 옆)의 아이콘을 누르세요.";
constexpr int kStartMs = 30000;  // a first start in a fresh prefix is slow

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

class TrayProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folders_.ok());
        ASSERT_TRUE(std::filesystem::exists(program()));
    }

    static std::filesystem::path program() { return testProgramFolder() / "tavrel.exe"; }

    std::filesystem::path logFile(const std::string& suffix) const {
        return folders_.local() / "Tavrel" / ("tavrel" + suffix + ".log");
    }
    std::string log(const std::string& suffix) const { return readSharedFile(logFile(suffix)); }

    // The hidden tray window of a started process, once it has one.
    static HWND trayWindowOf(const ChildProcess& process) {
        HWND found = nullptr;
        pumpUntil(
            [&] {
                const auto windows = topWindows(L"TavrelTray", process.pid());
                found = windows.empty() ? nullptr : windows.front();
                return found != nullptr;
            },
            kStartMs);
        return found;
    }

    // The second copy's box: its text and caption, a picture, OK, and the end of the process.
    static void answerRefusal(ChildProcess& process) {
        HWND box = waitForWindow(L"#32770", process.pid(), kStartMs);
        ASSERT_TRUE(box);
        pumpFor(300);  // painted
        EXPECT_EQ(dialogMessage(box), kAlreadyRunning);
        EXPECT_EQ(windowText(box), L"Tavrel");
        EXPECT_TRUE(saveScreenshot(box));
        EXPECT_TRUE(topWindows(L"TavrelTray", process.pid()).empty());
        EXPECT_TRUE(pressButton(box, IDOK));
        DWORD code = 1;
        EXPECT_TRUE(process.waitExit(15000, code));
        EXPECT_EQ(code, 0u);
    }

    static void quit(ChildProcess& process, HWND trayWindow) {
        EXPECT_TRUE(postQuitToThreadOf(trayWindow));
        DWORD code = 1;
        EXPECT_TRUE(process.waitExit(15000, code));
        EXPECT_EQ(code, 0u);
    }

    ThrowAwayUserFolders folders_;
};

TEST_F(TrayProgram, OneProcessPerProfileAndProfilesSideBySide) {
    ChildProcess a(program(), L"--profile A");
    ASSERT_TRUE(a.started());
    HWND trayA = trayWindowOf(a);
    ASSERT_TRUE(trayA);
    {
        ChildProcess again(program(), L"--profile A");
        ASSERT_TRUE(again.started());
        answerRefusal(again);
    }
    ChildProcess b(program(), L"--profile B");
    HWND trayB = trayWindowOf(b);
    ASSERT_TRUE(trayB);
    pumpFor(300);
    EXPECT_TRUE(topWindows(L"#32770", b.pid()).empty());
    EXPECT_TRUE(IsWindow(trayA));
    quit(a, trayA);
    quit(b, trayB);
    // The refused copy wrote nothing: one start line in each profile's log.
    EXPECT_EQ(occurrences(log("-A"), "시작: "), 1);
    EXPECT_EQ(occurrences(log("-B"), "시작: "), 1);
}

TEST_F(TrayProgram, AProfileSpelledInOtherLetterCaseIsTheSameProfile) {
    ChildProcess lower(program(), L"--profile work");
    ASSERT_TRUE(lower.started());
    HWND trayWindow = trayWindowOf(lower);
    ASSERT_TRUE(trayWindow);
    {
        ChildProcess upper(program(), L"--profile WORK");
        ASSERT_TRUE(upper.started());
        answerRefusal(upper);
    }
    quit(lower, trayWindow);
    EXPECT_EQ(occurrences(log("-work"), "시작: "), 1);
}

// The profile folder's name is compared as the file system compares it, in every script: these
// capitals and their small letters name one folder (NTFS and Wine's file system fold them alike;
// the program's own folding of mutex names covers neither), so one of them runs at a time.
TEST_F(TrayProgram, ProfileNamesThatNameOneFolderRunOneAtATime) {
    const std::pair<std::wstring, std::wstring> spellings[] = {
        {L"\u0531\u0580\u0535\u054E", L"\u0561\u0580\u0565\u057E"},  // Armenian
        {L"\u038F\u03A1\u0391", L"\u03CE\u03C1\u03B1"},              // Greek, with an accented capital
    };
    for (const auto& [first, second] : spellings) {
        ChildProcess running(program(), L"--profile " + first);
        ASSERT_TRUE(running.started());
        HWND trayWindow = trayWindowOf(running);
        ASSERT_TRUE(trayWindow) << wideToUtf8(first);
        {
            ChildProcess again(program(), L"--profile " + second);
            ASSERT_TRUE(again.started());
            answerRefusal(again);
        }
        quit(running, trayWindow);
    }
}

// Any process in the session can make the mutex's name first, as a mutex or as another kind of
// object; a start that holds the profile's lock file goes on all the same.
TEST_F(TrayProgram, WhatTakesTheMutexNameFirstDoesNotStopAStartThatHoldsTheProfile) {
    const std::wstring name = processNames(L"-S").mutex;
    for (const bool asEvent : {true, false}) {
        HANDLE squatter = asEvent ? CreateEventW(nullptr, TRUE, FALSE, name.c_str())
                                  : CreateMutexW(nullptr, TRUE, name.c_str());
        ASSERT_TRUE(squatter) << asEvent;
        {
            ChildProcess child(program(), L"--profile S");
            ASSERT_TRUE(child.started());
            HWND trayWindow = trayWindowOf(child);
            EXPECT_TRUE(trayWindow) << "an event first: " << asEvent;
            EXPECT_TRUE(topWindows(L"#32770", child.pid()).empty()) << asEvent;
            if (trayWindow) quit(child, trayWindow);
        }
        CloseHandle(squatter);
    }
    EXPECT_EQ(occurrences(log("-S"), "시작: "), 2);
}

// A start without a folder of its own would write into whatever folder it was started from, or
// nowhere: it stops with the box that says which folder it could not make.
TEST_F(TrayProgram, WithoutItsFoldersTheProgramDoesNotStart) {
    enum Break { NoLocalFolder, LogFolderIsAFile, NoRoamingFolder };
    const Break cases[] = {NoLocalFolder, LogFolderIsAFile, NoRoamingFolder};
    for (Break broken : cases) {
        ThrowAwayUserFolders folders;
        ASSERT_TRUE(folders.ok());
        TempFolder startedIn;
        switch (broken) {
            case NoLocalFolder: std::filesystem::remove_all(folders.local()); break;
            case LogFolderIsAFile:
                ASSERT_TRUE(writeFileAtomic((folders.local() / "Tavrel").wstring(), asBytes(std::string("a file"))));
                break;
            case NoRoamingFolder: std::filesystem::remove_all(folders.roaming()); break;
        }
        ChildProcess child(program(), L"--profile D", startedIn.path());
        ASSERT_TRUE(child.started());
        HWND box = waitForWindow(L"#32770", child.pid(), kStartMs);
        ASSERT_TRUE(box) << broken;
        const std::wstring said = L"설정 폴더를 만들 수 없어 시작하지 않습니다:\n";
        EXPECT_EQ(dialogMessage(box).substr(0, said.size()), said) << broken;
        EXPECT_EQ(windowText(box), L"Tavrel 을(를) 시작할 수 없습니다");
        EXPECT_TRUE(pressButton(box, IDOK));
        DWORD code = 0;
        ASSERT_TRUE(child.waitExit(15000, code));
        EXPECT_NE(code, 0u);
        EXPECT_TRUE(std::filesystem::is_empty(startedIn.path())) << broken;
        if (broken != NoRoamingFolder) {
            EXPECT_FALSE(std::filesystem::exists(folders.roaming() / "Tavrel-D")) << broken;
        }
    }
}

// A start that cannot go on: the box's words, a non-zero exit, and nothing run.
struct Refusal {
    std::wstring arguments;
    std::wstring text;  // the start of the box's text
};

TEST_F(TrayProgram, AProfileThatCannotBeOneFolderIsRefusedBeforeAnythingIsMade) {
    const Refusal cases[] = {
        {L"--profile a\\b", L"프로필 이름 'a\\b' 은(는) 쓸 수 없습니다."},
        {L"--profile ..", L"프로필 이름 '..' 은(는) 쓸 수 없습니다."},
        {L"--profile \"\"", L"프로필 이름 '' 은(는) 쓸 수 없습니다."},
        {L"--profile " + std::wstring(65, L'p'), L"프로필 이름 '" + std::wstring(65, L'p') + L"' 은(는)"},
    };
    for (const Refusal& c : cases) {
        ChildProcess child(program(), c.arguments);
        ASSERT_TRUE(child.started());
        HWND box = waitForWindow(L"#32770", child.pid(), kStartMs);
        ASSERT_TRUE(box) << wideToUtf8(c.arguments);
        EXPECT_EQ(dialogMessage(box).substr(0, c.text.size()), c.text);
        EXPECT_EQ(windowText(box), L"Tavrel 을(를) 시작할 수 없습니다");
        EXPECT_TRUE(pressButton(box, IDOK));
        DWORD code = 0;
        ASSERT_TRUE(child.waitExit(15000, code));
        EXPECT_NE(code, 0u);
        EXPECT_FALSE(std::filesystem::exists(folders_.local() / "Tavrel"));
        EXPECT_TRUE(std::filesystem::is_empty(folders_.roaming()));
    }
}

TEST_F(TrayProgram, AProfileFolderThatCannotBeMadeStopsTheStart) {
    std::filesystem::create_directories(folders_.roaming());
    ASSERT_TRUE(writeFileAtomic((folders_.roaming() / "Tavrel-F").wstring(), asBytes(std::string("not a folder"))));
    ChildProcess child(program(), L"--profile F");
    ASSERT_TRUE(child.started());
    HWND box = waitForWindow(L"#32770", child.pid(), kStartMs);
    ASSERT_TRUE(box);
    const std::wstring said = L"설정 폴더를 만들 수 없어 시작하지 않습니다:";
    EXPECT_EQ(dialogMessage(box).substr(0, said.size()), said);
    EXPECT_TRUE(pressButton(box, IDOK));
    DWORD code = 0;
    ASSERT_TRUE(child.waitExit(15000, code));
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(topWindows(L"TavrelTray", child.pid()).empty());
    EXPECT_EQ(occurrences(log("-F"), "설정 폴더를 만들 수 없음 → 시작하지 않음"), 1);
    EXPECT_EQ(occurrences(log("-F"), "시작: "), 0);
}

TEST_F(TrayProgram, AStoredPortOutOfRangeListensOnTheDefaultPort) {
    const std::filesystem::path profile = folders_.roaming() / "Tavrel-P";
    std::filesystem::create_directories(profile);
    ASSERT_TRUE(writeFileAtomic((profile / "config.json").wstring(),
                                asBytes(std::string(R"({"deviceName":"포트 PC","hosting":true,"port":70000})"))));
    ChildProcess host(program(), L"--profile P");
    ASSERT_TRUE(host.started());
    HWND trayWindow = trayWindowOf(host);
    ASSERT_TRUE(trayWindow);
    ASSERT_TRUE(pumpUntil([&] { return occurrences(log("-P"), "시작: 포트 PC ID ") == 1; }, kStartMs));
    EXPECT_EQ(occurrences(log("-P"), "포트 70000 은(는) 쓸 수 없음 → 기본 포트 47800 사용"), 1);
    // 47800 may be taken on a shared machine; either way the default is what was tried.
    HWND busy = nullptr;
    const bool listening = pumpUntil(
        [&] {
            busy = waitForWindow(L"#32770", host.pid(), 1);
            return busy || occurrences(log("-P"), "원격 제어 허용 켬 (포트 47800") == 1;
        },
        kStartMs);
    EXPECT_TRUE(listening);
    EXPECT_EQ(occurrences(log("-P"), "4464"), 0);
    if (busy) {
        EXPECT_NE(dialogMessage(busy).find(L"포트 47800 "), std::wstring::npos);
        pressButton(busy, IDOK);
    } else {
        std::shared_ptr<FramedConn> viewer = connectTcp("127.0.0.1", 47800, 3000);
        EXPECT_TRUE(viewer);
    }
    quit(host, trayWindow);
}

TEST_F(TrayProgram, TheFormerNameRunningWithTheProfileRefusesToo) {
    HANDLE former = CreateMutexW(nullptr, TRUE, L"Local\\Varnoth-A");
    ASSERT_TRUE(former);
    ChildProcess a(program(), L"--profile A");
    ASSERT_TRUE(a.started());
    answerRefusal(a);
    CloseHandle(former);
    EXPECT_EQ(occurrences(log("-A"), "시작: "), 0);
}

TEST_F(TrayProgram, TheLockSwitchesOwnTheWholeProcess) {
    ChildProcess lock(program(), L"--lock-service x");
    ASSERT_TRUE(lock.started());
    DWORD code = 1;
    ASSERT_TRUE(lock.waitExit(kStartMs, code));
    EXPECT_EQ(code, 0u);
    // Nothing of the tray's start-up ran: not even the log folder was made.
    EXPECT_FALSE(std::filesystem::exists(folders_.local() / "Tavrel"));
}

TEST_F(TrayProgram, AQuitMessageEndsItWithHostingOn) {
    int port = 0;
    {
        ListenSocket probe;
        ASSERT_TRUE(probe.open(0, false));
        port = probe.port();
    }
    AppConfig config;
    config.deviceName = "테스트 PC";
    config.hosting = true;
    config.port = port;
    const std::filesystem::path profile = folders_.roaming() / "Tavrel-H";
    std::filesystem::create_directories(profile);
    ASSERT_TRUE(writeFileAtomic((profile / "config.json").wstring(), asBytes(configToJson(config).dump())));

    ChildProcess host(program(), L"--profile H");
    ASSERT_TRUE(host.started());
    HWND trayWindow = trayWindowOf(host);
    ASSERT_TRUE(trayWindow);
    ASSERT_TRUE(pumpUntil([&] { return occurrences(log("-H"), "시작: 테스트 PC ID ") == 1; }, kStartMs));
    EXPECT_EQ(occurrences(log("-H"), "원격 제어 허용 켬 (포트 " + std::to_string(port)), 1);
    // A viewer is half-way in when the process is told to end.
    std::shared_ptr<FramedConn> viewer = connectTcp("127.0.0.1", port, 3000);
    EXPECT_TRUE(viewer);
    quit(host, trayWindow);
}

}  // namespace

// The process-wide connection history in the test prefix's profile, as the tray shows it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "host/history.h"
#include "support/log_capture.h"

namespace {

// "MM월 DD일 HH:MM" with two digits each.
bool isDateTime(const std::wstring& s) {
    const std::wstring shape = L"00월 00일 00:00";
    if (s.size() != shape.size()) return false;
    for (size_t i = 0; i < s.size(); ++i)
        if (shape[i] == L'0' ? !iswdigit(s[i]) : s[i] != shape[i]) return false;
    return true;
}

}  // namespace

TEST(WinHistory, RecordsRoundTripInTheProfile) {
    std::wstring path = configStore().profileDir + L"\\connections.json";
    double at = addConnectionRecord("노트북", "비밀번호", "직접(펀칭)");
    EXPECT_TRUE(pathExists(path));
    EXPECT_EQ(historyPath(), path);
    ASSERT_GE(loadHistory().size(), 1u);
    EXPECT_EQ(loadHistory().at(0).get("at").number, at);

    std::wstring text = connectionHistoryText(30);
    size_t gap = text.find(L"  ");
    ASSERT_NE(gap, std::wstring::npos) << text;
    EXPECT_TRUE(isDateTime(text.substr(0, gap))) << text;
    EXPECT_EQ(text.substr(gap, text.find(L"\r\n") + 2 - gap), L"  노트북  (비밀번호 · 직접(펀칭) · 연결 중)\r\n");

    endConnectionRecord(at);
    text = connectionHistoryText(1);
    EXPECT_NE(text.find(L"  노트북  (비밀번호 · 직접(펀칭) · 1분 안)\r\n"), std::wstring::npos) << text;
}

TEST(WinHistory, FileHeldByAnotherProgramIsLeftInPlaceAndNothingIsLost) {
    // A backup, a scanner or an editor holding the file: sharing nothing, or only its deletion
    // (which leaves it free to be renamed aside).
    for (const DWORD sharing : {DWORD(0), DWORD(FILE_SHARE_DELETE)}) {
        TempFolder folder;
        ConnectionHistory history(folder / L"connections.json");
        const double first = history.add("사무실", "비밀번호", "직접");
        const Bytes before = readFile(history.path);
        {
            HANDLE held = CreateFileW(history.path.c_str(), GENERIC_READ | GENERIC_WRITE, sharing, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
            LogCapture log;
            history.add("집", "등록한 기기", "중계");
            history.end(first);
            CloseHandle(held);
            EXPECT_EQ(log.count("이번 기록은 건너뜀"), 2) << "sharing " << sharing;
        }
        EXPECT_EQ(readFile(history.path), before) << "sharing " << sharing;
        EXPECT_FALSE(pathExists(history.path + L".bad")) << "sharing " << sharing;
        // Once it is free again, the next record goes in front of the kept ones.
        history.add("노트북", "비밀번호", "직접");
        const Json records = history.load();
        ASSERT_EQ(records.size(), 2u) << "sharing " << sharing;
        EXPECT_EQ(records.at(1).get("at").number, first);
    }
}

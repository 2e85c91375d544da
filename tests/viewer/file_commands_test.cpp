#include <gtest/gtest.h>

#include "viewer/file_commands.h"

namespace {

TEST(ViewerFileCommands, RunOnlyOnAConnectedSessionOfAHostWithFiles) {
    const struct {
        bool session, connected, files;
        FileCommandGate gate;
    } cases[] = {
        {false, false, true, FileCommandGate::Ignore}, {true, false, true, FileCommandGate::Ignore},
        {false, true, true, FileCommandGate::Ignore},  {true, true, false, FileCommandGate::OldHost},
        {true, true, true, FileCommandGate::Run},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fileCommandGate(c.session, c.connected, c.files), c.gate) << c.session << c.connected << c.files;
}

TEST(ViewerFileCommands, ShowReceivedSelectsTheItemOrOpensDownloads) {
    const std::wstring downloads = L"C:\\Users\\a\\Downloads";
    EXPECT_EQ(showReceivedCall(L"C:\\Users\\a\\Downloads\\사진 (2)", true, downloads),
              (ShellCall{L"", L"explorer.exe", L"/select,\"C:\\Users\\a\\Downloads\\사진 (2)\""}));
    EXPECT_EQ(showReceivedCall(L"C:\\gone.txt", false, downloads), (ShellCall{L"open", downloads, L""}));
    EXPECT_EQ(showReceivedCall(L"", true, downloads), (ShellCall{L"open", downloads, L""}));
}

TEST(ViewerFileCommands, ResultStaysForTheIntervalAndProgressStaysUntilReplaced) {
    TransferLine line;
    line.resultNanos = 1000;
    line.result("받음: a.txt", 100);
    EXPECT_FALSE(line.expire(1099));
    EXPECT_EQ(line.text(), "받음: a.txt");
    line.result("받음: b.txt", 600);  // a newer result restarts the interval
    EXPECT_EQ(line.clearAt(), 1600);
    EXPECT_FALSE(line.expire(1100));
    EXPECT_EQ(line.text(), "받음: b.txt");
    EXPECT_TRUE(line.expire(1600));
    EXPECT_EQ(line.text(), "");
    EXPECT_EQ(line.clearAt(), 0);

    line.result("보냄", 2000);
    line.progress("파일 받는 중 1/2 · 50% (1 KB / 2 KB)");  // progress after a result is not cleared
    EXPECT_EQ(line.clearAt(), 0);
    EXPECT_FALSE(line.expire(100000));
    EXPECT_EQ(line.text(), "파일 받는 중 1/2 · 50% (1 KB / 2 KB)");
    line.progress("");
    EXPECT_EQ(line.text(), "");
}

}  // namespace

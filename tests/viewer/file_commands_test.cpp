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

}  // namespace

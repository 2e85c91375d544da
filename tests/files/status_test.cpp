#include <gtest/gtest.h>

#include "core/config/store.h"
#include "files/status.h"

namespace {

TEST(TransferTexts, SizesInDecimalUnits) {
    const struct {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0바이트"},          {999, "999바이트"},          {1000, "1 KB"},
        {1499, "1 KB"},          {999999, "1000 KB"},         {1000000, "1.0 MB"},
        {999999999, "1000.0 MB"}, {1234567890, "1.23 GB"},    {18446744073709551615ull, "18446744073.71 GB"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatSize(c.bytes), c.text) << c.bytes;
}

TEST(TransferTexts, ProgressLines) {
    EXPECT_EQ(formatProgress(1, 5, 1302000, 3100000, "받는"), "파일 받는 중 2/5 · 42% (1.3 MB / 3.1 MB)");
    EXPECT_EQ(formatProgress(0, 1, 0, 0, "보내는"), "파일 보내는 중 1/1 · 100% (0바이트 / 0바이트)");
    EXPECT_EQ(formatProgress(0, 1, 999, 1000, "보내는"), "파일 보내는 중 1/1 · 99% (999바이트 / 1 KB)");
}

TEST(TransferTexts, DownloadsFolderChoice) {
    const std::wstring sep(1, kPathSeparator);
    ReceiveFolderChoice c = chooseDownloadsFolder(L"K" + sep + L"Downloads", L"P");
    EXPECT_EQ(c.folder, L"K" + sep + L"Downloads");
    EXPECT_FALSE(c.create);  // the known folder is used as it is
    c = chooseDownloadsFolder(L"", L"P" + sep + L"user");
    EXPECT_EQ(c.folder, L"P" + sep + L"user" + sep + L"Downloads");
    EXPECT_TRUE(c.create);
    c = chooseDownloadsFolder(L"", L"");
#ifdef _WIN32
    EXPECT_EQ(c.folder, L"C:\\Tavrel");
#else
    EXPECT_EQ(c.folder, L"/tmp/Tavrel");
#endif
    EXPECT_TRUE(c.create);
}

}  // namespace

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "media/capture.h"

namespace {

TEST(ListMonitors, NamesTheDisplayOfTheWholeScreen) {
    const std::vector<MonitorInfo> monitors = listMonitors();
    ASSERT_FALSE(monitors.empty());
    const MonitorInfo& first = monitors[0];
    EXPECT_EQ(first.index, 0u);
    EXPECT_TRUE(first.primary);
    EXPECT_EQ(first.left, 0);
    EXPECT_EQ(first.top, 0);
    EXPECT_EQ(first.right, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(first.bottom, GetSystemMetrics(SM_CYSCREEN));
    EXPECT_EQ(first.scale, 1.0);

    // The name ties the record to its display: the system finds the same monitor by it.
    HMONITOR primary = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoW(primary, &info));
    EXPECT_EQ(first.deviceName, std::wstring(info.szDevice));
}

TEST(MonitorScale, OneWhenTheSystemCannotTell) {
    EXPECT_EQ(monitorScale(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY)), 1.0);
    EXPECT_EQ(monitorScale(reinterpret_cast<HMONITOR>(uintptr_t(0xDEAD0))), 1.0);
}

}  // namespace

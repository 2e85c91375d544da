#include <gtest/gtest.h>

#include "host/power.h"
#include "support/host_hooks.h"

namespace {

TEST(Power, RefusedRestartGivesTheSystemErrorInDecimal) {
    ScopedHostHooks hooks;
    hooks->restartSystem = [](uint32_t& error) {
        error = 5;
        return false;
    };
    EXPECT_EQ(restartPc(), "원격 PC 를 다시 시작하지 못했습니다 (5)");
    hooks->restartSystem = [](uint32_t& error) {
        error = 0xFFFFFFFFu;
        return false;
    };
    EXPECT_EQ(restartPc(), "원격 PC 를 다시 시작하지 못했습니다 (4294967295)");
}

TEST(Power, AcceptedCallsGiveNoText) {
    ScopedHostHooks hooks;
    int restarts = 0, sleeps = 0;
    hooks->restartSystem = [&](uint32_t&) { return ++restarts, true; };
    hooks->sleepSystem = [&] { return ++sleeps, true; };
    EXPECT_EQ(restartPc(), "");
    EXPECT_EQ(sleepPc(), "");
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(sleeps, 1);
}

TEST(Power, PcWithoutSleepSaysSo) {
    ScopedHostHooks hooks;
    hooks->sleepSystem = [] { return false; };
    EXPECT_EQ(sleepPc(), "원격 PC 를 잠재우지 못했습니다 (잠자기를 쓸 수 없는 PC 일 수 있음)");
}

}  // namespace

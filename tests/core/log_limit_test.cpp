#include "core/log_limit.h"

#include <gtest/gtest.h>

#include <string>

TEST(LogLimiter, OneLinePerIntervalPerCauseWithTheCountHeldBack) {
    LogLimiter limiter(60000);
    EXPECT_EQ(limiter.admit("a"), std::string());
    EXPECT_FALSE(limiter.admit("a"));
    EXPECT_FALSE(limiter.admit("a"));
    // Another cause has a count of its own.
    EXPECT_EQ(limiter.admit("b"), std::string());
    EXPECT_FALSE(limiter.admit("b"));
    limiter.setIntervalMs(0);
    EXPECT_EQ(limiter.admit("a"), std::string(" (앞 줄 뒤로 2번 더)"));
    EXPECT_EQ(limiter.admit("a"), std::string());
    EXPECT_EQ(limiter.admit("b"), std::string(" (앞 줄 뒤로 1번 더)"));
}

TEST(LogLimiter, CausesBeyondTheTableShareOneCount) {
    LogLimiter limiter(60000);
    for (size_t i = 0; i < LogLimiter::kMaxCauses; ++i) EXPECT_TRUE(limiter.admit(std::to_string(i) + "c")) << i;
    EXPECT_TRUE(limiter.admit("new 1"));
    EXPECT_FALSE(limiter.admit("new 2"));
    EXPECT_FALSE(limiter.admit("new 3"));
    EXPECT_FALSE(limiter.admit("0c"));
}

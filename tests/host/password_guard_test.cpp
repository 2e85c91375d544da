#include "host/password_guard.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int64_t kMinuteNs = 60LL * 1000000000;

// A guard over a stored password and a clock the test moves by hand.
struct GuardRig {
    std::string stored = "비밀 1234";
    int64_t steady = 5 * kMinuteNs;
    double wall = 1700000000.0;
    std::vector<std::pair<int, double>> lockouts;
    PasswordGuard guard{[this] { return stored; }};

    GuardRig() {
        guard.setClock({[this] { return steady; }, [this] { return wall; }});
        guard.onLockout = [this](int failures, double until) { lockouts.emplace_back(failures, until); };
    }
    void advanceSeconds(int64_t seconds) {
        steady += seconds * 1000000000;
        wall += double(seconds);
    }
    bool fail() {
        std::string password;
        if (!guard.begin(password)) return false;
        guard.finish(false);
        return true;
    }
};

TEST(PasswordGuard, LockGrowsWithEachFailureUpToAnHour) {
    GuardRig rig;
    for (int i = 1; i <= 4; ++i) {
        ASSERT_TRUE(rig.fail()) << i;
        EXPECT_EQ(rig.guard.lockedUntil(), 0) << i;
    }
    EXPECT_TRUE(rig.lockouts.empty());

    // Failure k locks for this many minutes.
    const std::vector<std::pair<int, int>> table = {{5, 1},   {6, 2},   {7, 4},   {8, 8},  {9, 16},
                                                    {10, 32}, {11, 60}, {12, 60}, {20, 60}};
    int failures = 4;
    for (const auto& [k, minutes] : table) {
        while (failures < k - 1) {
            ASSERT_TRUE(rig.fail());
            ++failures;
            rig.advanceSeconds(61 * 60);
        }
        ASSERT_TRUE(rig.fail()) << k;
        failures = k;
        const double expected = rig.wall + minutes * 60.0;
        EXPECT_EQ(rig.guard.failures(), k);
        EXPECT_DOUBLE_EQ(rig.guard.lockedUntil(), expected) << k;
        ASSERT_FALSE(rig.lockouts.empty());
        EXPECT_EQ(rig.lockouts.back().first, k);
        EXPECT_DOUBLE_EQ(rig.lockouts.back().second, expected) << k;

        // Locked for exactly that long on the steady clock.
        rig.advanceSeconds(minutes * 60 - 1);
        std::string password;
        EXPECT_FALSE(rig.guard.begin(password)) << k;
        rig.advanceSeconds(1);
        EXPECT_EQ(rig.guard.lockedUntil(), 0) << k;
    }
    EXPECT_EQ(rig.lockouts.size(), 20u - 4u);  // every failure from the fifth on
    EXPECT_EQ(PasswordGuard::lockMinutes(1000000), 60);
}

TEST(PasswordGuard, WhileLockedEvenTheRightPasswordIsRefusedAndNotCounted) {
    GuardRig rig;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(rig.fail());
    std::string password = "untouched";
    EXPECT_FALSE(rig.guard.begin(password));
    EXPECT_FALSE(rig.guard.begin(password));
    EXPECT_EQ(rig.guard.failures(), 5);
    EXPECT_EQ(rig.lockouts.size(), 1u);

    // The lock passes, the count stays: the next failure locks again at once, for twice as long.
    rig.advanceSeconds(60);
    ASSERT_TRUE(rig.fail());
    EXPECT_DOUBLE_EQ(rig.guard.lockedUntil(), rig.wall + 120);
}

TEST(PasswordGuard, LockIsDecidedOnTheSteadyClock) {
    GuardRig rig;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(rig.fail());
    std::string password;
    // The wall clock jumps a day ahead: the lock stays.
    rig.wall += 86400;
    EXPECT_FALSE(rig.guard.begin(password));
    // The wall clock goes back a day: the lock still ends after one minute of steady time.
    rig.wall -= 2 * 86400;
    rig.steady += kMinuteNs;
    EXPECT_TRUE(rig.guard.begin(password));
    rig.guard.finish(true);
}

TEST(PasswordGuard, SuccessResetsTheCount) {
    GuardRig rig;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.fail());
    std::string password;
    ASSERT_TRUE(rig.guard.begin(password));
    EXPECT_EQ(password, rig.stored);
    rig.guard.finish(true);
    EXPECT_EQ(rig.guard.failures(), 0);
    ASSERT_TRUE(rig.fail());
    EXPECT_EQ(rig.guard.failures(), 1);
}

TEST(PasswordGuard, OneAttemptAtATime) {
    GuardRig rig;
    std::string first, second;
    ASSERT_TRUE(rig.guard.begin(first));
    EXPECT_FALSE(rig.guard.begin(second));
    EXPECT_EQ(rig.guard.failures(), 0);
    rig.guard.finish(false);
    EXPECT_TRUE(rig.guard.begin(second));
    rig.guard.finish(true);
}

TEST(PasswordGuard, NoStoredPasswordRefuses) {
    GuardRig rig;
    rig.stored.clear();
    std::string password = "x";
    EXPECT_FALSE(rig.guard.begin(password));
    EXPECT_TRUE(password.empty());
    // Not busy: a password stored later is taken at once.
    rig.stored = "새 비밀번호";
    EXPECT_TRUE(rig.guard.begin(password));
    EXPECT_EQ(password, "새 비밀번호");
    rig.guard.finish(true);
}

TEST(PasswordGuard, ResetDuringAnAttemptLeavesItRunning) {
    GuardRig rig;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.fail());
    std::string password;
    ASSERT_TRUE(rig.guard.begin(password));
    rig.guard.reset();
    EXPECT_EQ(rig.guard.failures(), 0);
    std::string other;
    EXPECT_FALSE(rig.guard.begin(other));  // still busy
    rig.guard.finish(false);
    EXPECT_EQ(rig.guard.failures(), 1);
}

TEST(PasswordGuard, ResetLiftsALock) {
    GuardRig rig;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(rig.fail());
    ASSERT_NE(rig.guard.lockedUntil(), 0);
    rig.guard.reset();
    EXPECT_EQ(rig.guard.lockedUntil(), 0);
    EXPECT_EQ(rig.guard.failures(), 0);
    std::string password;
    EXPECT_TRUE(rig.guard.begin(password));
    rig.guard.finish(true);
}

TEST(PasswordAttempt, FinishesOnceAndWipes) {
    GuardRig rig;
    {
        PasswordAttempt attempt(rig.guard);
        ASSERT_TRUE(attempt.started());
        EXPECT_EQ(attempt.password(), rig.stored);
    }
    EXPECT_EQ(rig.guard.failures(), 1);  // not marked as a success
    {
        PasswordAttempt attempt(rig.guard);
        ASSERT_TRUE(attempt.started());
        attempt.succeeded();
    }
    EXPECT_EQ(rig.guard.failures(), 0);
    {
        // One that did not start finishes nothing: the running one stays busy and uncounted.
        PasswordAttempt running(rig.guard);
        ASSERT_TRUE(running.started());
        {
            PasswordAttempt refused(rig.guard);
            EXPECT_FALSE(refused.started());
            EXPECT_TRUE(refused.password().empty());
        }
        EXPECT_EQ(rig.guard.failures(), 0);
        std::string other;
        EXPECT_FALSE(rig.guard.begin(other));
    }
    EXPECT_EQ(rig.guard.failures(), 1);
}

}  // namespace

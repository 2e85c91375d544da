#include "core/config/pairing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

Bytes wrong(const Bytes& code) {
    Bytes w = code;
    w[15] ^= 0x01;
    return w;
}

}  // namespace

TEST(PairingCode, CorrectTokenWorksOnce) {
    PairingCode pc;
    Bytes code = pc.renew(600);
    ASSERT_EQ(code.size(), 16u);
    EXPECT_TRUE(pc.check(code));
    EXPECT_FALSE(pc.check(code));
}

TEST(PairingCode, NoCodeOrClearedCodeNeverMatches) {
    PairingCode pc;
    EXPECT_FALSE(pc.check(Bytes(16, 0)));  // never renewed: the empty code must not match anything
    EXPECT_FALSE(pc.check(Bytes()));
    Bytes code = pc.renew(600);
    pc.clear();
    EXPECT_FALSE(pc.check(code));
}

TEST(PairingCode, ExpiredCodeNeverMatches) {
    PairingCode pc;
    Bytes code = pc.renew(0);  // expires the moment it is made
    EXPECT_FALSE(pc.check(code));
    code = pc.renew(-5);
    EXPECT_FALSE(pc.check(code));
}

TEST(PairingCode, FifthWrongTokenDiscardsTheCode) {
    PairingCode pc;
    Bytes code = pc.renew(600);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(pc.check(wrong(code)));
    EXPECT_TRUE(pc.check(code));

    code = pc.renew(600);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(pc.check(wrong(code)));
    EXPECT_FALSE(pc.check(code));
}

TEST(PairingCode, WrongLengthCountsButNeverDiscards) {
    for (size_t length : {size_t(15), size_t(17), size_t(0)}) {
        SCOPED_TRACE(length);
        PairingCode pc;
        Bytes code = pc.renew(600);
        Bytes other(code.begin(), code.begin() + std::min(length, code.size()));
        other.resize(length, 0);
        for (int i = 0; i < 20; ++i) EXPECT_FALSE(pc.check(other));
        EXPECT_TRUE(pc.check(code));

        // Four counted failures, then one wrong token of the right length discards it.
        code = pc.renew(600);
        for (int i = 0; i < 4; ++i) EXPECT_FALSE(pc.check(other));
        EXPECT_FALSE(pc.check(wrong(code)));
        EXPECT_FALSE(pc.check(code));
    }
}

TEST(PairingCode, RenewReplacesTheCodeAndResetsTheCount) {
    PairingCode pc;
    Bytes first = pc.renew(600);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(pc.check(wrong(first)));
    Bytes second = pc.renew(600);
    EXPECT_NE(first, second);
    EXPECT_FALSE(pc.check(first));  // the old code is gone; this is failure 1 of the new count
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(pc.check(wrong(second)));
    EXPECT_TRUE(pc.check(second));
}

TEST(PairingCode, OneCodeAdmitsOneConnectionAmongMany) {
    PairingCode pc;
    Bytes code = pc.renew(600);
    std::atomic<int> admitted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            if (pc.check(code)) ++admitted;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(admitted.load(), 1);
}

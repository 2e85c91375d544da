// A payload too short for its fields must be refused with the protocol's own text.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "core/wire.h"

inline void expectShort(const std::function<void()>& decode) {
    try {
        decode();
        ADD_FAILURE() << "no exception";
    } catch (const ProtoError& e) {
        EXPECT_STREQ(e.what(), "짧은 메시지");
    }
}

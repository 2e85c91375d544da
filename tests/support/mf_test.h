// Base of the Media Foundation tests: COM for the test's thread (multithreaded, as the program's
// media threads use it) and the process's one Media Foundation start-up.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "media/mf.h"

class MediaFoundationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ensureMediaFoundation();
    }
    void TearDown() override { CoUninitialize(); }
};

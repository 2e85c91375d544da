// A fixture for tests of viewer windows opened as the tray opens them: the tray window that their
// removal is posted to, the settings as they were before the test, and every window that a test
// left open closed and deleted after it.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include "app/tray.h"
#include "app/viewers.h"
#include "core/config/store.h"
#include "support/pump_win.h"
#include "viewer/window.h"

class ViewerWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!tray().trayWindow) createTrayWindow(GetModuleHandleW(nullptr));
    }
    static void TearDownTestSuite() {
        DestroyWindow(tray().trayWindow);
        tray().trayWindow = nullptr;
    }
    void SetUp() override { saved_ = configStore().get(); }
    void TearDown() override {
        for (const auto& w : openViewers())
            if (w->hwnd && IsWindow(w->hwnd)) PostMessageW(w->hwnd, WM_CLOSE, 0, 0);
        pumpUntil([] { return openViewers().empty(); }, 5000);
        openViewers().clear();
        configStore().update([this](AppConfig& c) { c = saved_; });
    }

    AppConfig saved_;
};

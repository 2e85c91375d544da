// gtest entry point for both test binaries.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <string>

#include "host/hooks.h"
#include "host/lock.h"

int wmain(int argc, wchar_t** argv) {
    // With the lock switches this binary stands in for tavrel.exe as the installed service and
    // its agent. It lives in a build folder its user may change, which a real install refuses.
    {
        const HostHooks saved = hostHooks();
        hostHooks().unsafeServicePath = [](const std::wstring&) { return std::wstring(); };
        int exitCode = 0;
        if (runLockCommand(argc, argv, exitCode)) return exitCode;
        hostHooks() = saved;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
#else
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
#endif

// Points the process-wide store at a throw-away folder for the whole test run, in both builds, so
// that tests reaching the store, the device key or the password never touch the real profile.
#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "core/config/store.h"
#include "core/util.h"

namespace {

class ProfileEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::error_code ec;
        Bytes r(8);
        randomBytes(r.data(), int(r.size()));
        folder_ = std::filesystem::temp_directory_path(ec) / ("tavrel-profile-" + hexEncode(r));
        ASSERT_TRUE(std::filesystem::create_directory(folder_, ec)) << folder_.string();
        useProfileBase(folder_.wstring());
    }
    void TearDown() override {
        std::error_code ec;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    }

private:
    std::filesystem::path folder_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ProfileEnvironment);

}  // namespace

// Points the native per-user configuration folder at a temporary folder for the whole test run,
// so that tests reaching the process-wide store never touch the real one.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

namespace {

class ProfileEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavrel-home-XXXXXX").string();
        if (mkdtemp(pattern.data())) {
            folder_ = pattern;
            setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
        }
    }
    void TearDown() override {
        std::error_code ec;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    }

private:
    std::string folder_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ProfileEnvironment);

}  // namespace
#endif

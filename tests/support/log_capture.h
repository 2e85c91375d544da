// Sends the log to a file of its own while a test runs, to read back what was logged.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/util.h"

class LogCapture {
public:
    LogCapture() : saved_(logPath()) {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + (test ? std::string(test->test_suite_name()) + "." + test->name() : "log") +
                ".log";
        std::remove(path_.c_str());
        setLogPath(path_);
    }
    ~LogCapture() {
        setLogPath(saved_);
        std::remove(path_.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string saved_, path_;
};

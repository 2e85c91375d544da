// Sends the log to a file of its own for as long as it lives, so a test can read what was logged.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/util.h"
#include "support/wait.h"

class LogCapture {
public:
    LogCapture() : saved_(logPath()) {
        static std::atomic<int> counter{0};
        Bytes r(6);
        randomBytes(r.data(), int(r.size()));
        path_ = ::testing::TempDir() + "tavrel-log-" + hexEncode(r) + "-" + std::to_string(counter++) + ".log";
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
    // Lines holding `part`.
    int count(const std::string& part) const {
        const std::string all = text();
        int n = 0;
        for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + part.size())) ++n;
        return n;
    }
    bool has(const std::string& part) const { return count(part) > 0; }
    // Waits until `part` was logged at least `times` times.
    bool waitFor(const std::string& part, int timeoutMs = 5000, int times = 1) const {
        return waitUntil([&] { return count(part) >= times; }, timeoutMs);
    }

private:
    std::string saved_;
    std::string path_;
};

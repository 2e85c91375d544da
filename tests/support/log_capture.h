// Points the log at a file of its own for one test and reads it back.
#pragma once

#include <string>

#include "core/config/store.h"
#include "core/util.h"
#include "core/config/temp_folder.h"

class LogCapture {
public:
    LogCapture() : before_(logPath()), file_(folder_ / L"log.txt") { setLogPath(folder_.path().string() + "/log.txt"); }
    ~LogCapture() { setLogPath(before_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return spanToString(readFile(file_)); }
    // How many lines end with `message` (each line is a time stamp, a blank and the message).
    size_t count(const std::string& message) const {
        const std::string log = text(), needle = " " + message + "\n";
        size_t n = 0;
        for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
        return n;
    }

private:
    TempFolder folder_;
    std::string before_;
    std::wstring file_;
};

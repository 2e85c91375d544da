// A fresh folder under the system's temporary folder, removed with everything in it at the end.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/config/store.h"
#include "core/util.h"

class TempFolder {
public:
    TempFolder() {
        static std::atomic<int> counter{0};
        std::filesystem::path base = std::filesystem::temp_directory_path();
        for (;;) {
            Bytes r(6);
            randomBytes(r.data(), int(r.size()));
            std::filesystem::path p = base / ("tavrel-test-" + hexEncode(r) + "-" + std::to_string(counter++));
            std::error_code ec;
            if (std::filesystem::create_directory(p, ec)) {
                path_ = p;
                break;
            }
        }
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder as the store's wide path (ASCII, so the same in both builds).
    std::wstring wide() const { return path_.wstring(); }
    // A name inside the folder.
    std::wstring operator/(const std::wstring& name) const {
        return path_.wstring() + kPathSeparator + name;
    }

private:
    std::filesystem::path path_;
};

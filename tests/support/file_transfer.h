// Fixtures of the file-transfer tests: files and trees in a throw-away folder, a receiver whose
// replies are recorded, and a sender wired straight to a receiver.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "core/wire.h"
#include "files/paths.h"
#include "files/receiver.h"
#include "files/sender.h"
#include "files/transfer_messages.h"

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A deterministic pattern, so that a lost, doubled or reordered chunk shows.
inline Bytes patternBytes(size_t n, uint32_t seed = 1) {
    Bytes out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = uint8_t(x >> 16);
    }
    return out;
}

inline void putFile(const std::wstring& path, const Bytes& content) {
    ASSERT_TRUE(writeFileAtomic(longPath(path), content));
}
inline void putFolder(const std::wstring& path) { ASSERT_EQ(createDirectory(longPath(path)), 0u); }

// Every file and folder below `root` as "/"-separated UTF-8 relative paths: folders map to
// "<folder>", files to their content. Read independently of the code under test.
inline std::map<std::string, std::string> treeOf(const std::filesystem::path& root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const auto u8 = it->path().lexically_relative(root).generic_u8string();
        std::string rel(u8.begin(), u8.end());
        if (it->is_directory()) {
            out[rel] = "<folder>";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            out[rel] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    return out;
}

// Waits, in short steps, until `done` holds or `ms` pass.
inline bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

#ifndef _WIN32
// Puts `replacement` in place of the descriptor this process holds open on `path` (a receiver's
// part file), so that its writes go elsewhere; `replacement` is closed.
bool replaceDescriptorOf(const std::filesystem::path& path, int replacement);

// A pipe in place of the descriptor this process holds open on `path`: a write to it stalls once
// `capacity()` bytes wait, until the test drains them, as on a stalled share.
class PipeUnderFile {
public:
    explicit PipeUnderFile(const std::filesystem::path& path);
    ~PipeUnderFile();
    PipeUnderFile(const PipeUnderFile&) = delete;
    PipeUnderFile& operator=(const PipeUnderFile&) = delete;
    bool ready() const { return ready_; }
    size_t capacity() const { return capacity_; }
    // Whether a writer fills it: capacity() bytes wait.
    bool full() const;
    // Reads what waits without blocking; the bytes read.
    size_t drain();

private:
    int reader_ = -1;
    size_t capacity_ = 0;
    bool ready_ = false;
};
#endif

// A symbolic link at `link` to an existing `target` (a file or folder), or with `hard` a second
// name of the target file, removed again before the folder holding it is cleaned up. Natively
// symlink() or link(); under Wine, whose own call makes no link, the system's ln through the Z:
// drive.
class TestLink {
public:
    TestLink(const std::wstring& target, const std::wstring& link, bool hard = false);
    ~TestLink();
    TestLink(const TestLink&) = delete;
    TestLink& operator=(const TestLink&) = delete;
    bool made() const { return made_; }

private:
    std::wstring link_;
    std::wstring unixLink_;
    bool made_ = false;
};

// One message a receiver or sender sent, decoded.
struct Sent {
    uint8_t type = 0;
    uint32_t id = 0;
    uint64_t count = 0;   // FileAck: bytes written
    std::string text;     // FileSaved, FileRefused, FileAbort: the text; FileBegin: the path
    Bytes payload;
};

inline Sent decodeSent(uint8_t type, const Bytes& payload) {
    Sent s;
    s.type = type;
    s.payload = payload;
    if (payload.size() >= 4) s.id = loadBe32(payload.data());
    if (type == kFileAck && payload.size() >= 12) s.count = loadBe64(payload.data() + 4);
    if (type == kFileBegin && payload.size() >= 32) s.text.assign(payload.begin() + 32, payload.end());
    if ((type == kFileSaved || type == kFileRefused || type == kFileAbort) && payload.size() >= 4)
        s.text.assign(payload.begin() + 4, payload.end());
    return s;
}

// Thread-safe record of messages.
class SentLog {
public:
    void add(uint8_t type, const Bytes& payload) {
        std::lock_guard lock(mutex_);
        sent_.push_back(decodeSent(type, payload));
    }
    std::vector<Sent> all() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    std::vector<Sent> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(sent_, {});
    }
    std::vector<Sent> ofType(uint8_t type) const {
        std::vector<Sent> out;
        for (auto& s : all())
            if (s.type == type) out.push_back(s);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Sent> sent_;
};

// Thread-safe list of texts handed to a hook.
class TextLog {
public:
    std::function<void(const std::string&)> hook() {
        return [this](const std::string& t) {
            std::lock_guard lock(mutex_);
            texts_.push_back(t);
        };
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    size_t size() const { return all().size(); }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

struct BatchReport {
    std::wstring path;
    int files = 0;
    unsigned long long bytes = 0;
};

// A receiver writing into `dest`, its replies, zone marks, batches and texts recorded.
class ReceiverRig {
public:
    explicit ReceiverRig(const std::wstring& dest) {
        receiver.send = [this](uint8_t type, const Bytes& payload) { replies.add(type, payload); };
        receiver.destination = [dest] { return dest; };
        receiver.defaultFolder = [dest] { return dest; };
        receiver.zoneMark = [this](const std::wstring& path) {
            std::lock_guard lock(mutex_);
            marks.push_back(path);
        };
        receiver.batchReceived = [this](const std::wstring& path, int files, unsigned long long bytes) {
            std::lock_guard lock(mutex_);
            batches.push_back({path, files, bytes});
        };
        receiver.status = statuses.hook();
        receiver.notify = notes.hook();
    }

    void begin(uint32_t id, uint32_t batch, uint32_t index, uint32_t count, const std::string& path,
               uint64_t total = 0) {
        receiver.handle(kFileBegin, FileBeginMsg{id, batch, index, count, 0, total, path}.encode());
    }
    void data(uint32_t id, const Bytes& bytes) { receiver.handle(kFileData, idPayload(id, bytes)); }
    void end(uint32_t id) { receiver.handle(kFileEnd, idPayload(id)); }
    void abort(uint32_t id, const std::string& reason) { receiver.handle(kFileAbort, idPayload(id, reason)); }
    // One whole file.
    void file(uint32_t id, uint32_t batch, uint32_t index, uint32_t count, const std::string& path,
              const Bytes& content) {
        begin(id, batch, index, count, path, content.size());
        if (!content.empty()) data(id, content);
        end(id);
    }

    std::vector<BatchReport> batchReports() {
        std::lock_guard lock(mutex_);
        return batches;
    }
    std::vector<std::wstring> zoneMarks() {
        std::lock_guard lock(mutex_);
        return marks;
    }

    SentLog replies;
    TextLog statuses;
    TextLog notes;

private:
    std::mutex mutex_;
    std::vector<std::wstring> marks;
    std::vector<BatchReport> batches;

public:
    FileReceiver receiver;  // last: its hooks use the records above
};

// A sender whose messages go straight to a receiver (and the answers straight back), on the
// sender's worker thread. `filter` may drop or replace what reaches the receiver.
class DirectPair {
public:
    explicit DirectPair(const std::wstring& dest) : rig(dest) {
        sender.peerName = "상대 PC";
        sender.notify = results.hook();
        sender.send = [this](unsigned char type, const Bytes& payload) {
            wire.add(type, payload);
            if (filter && !filter(type, payload)) return;
            rig.receiver.handle(type, payload);
        };
        rig.receiver.send = [this](uint8_t type, const Bytes& payload) {
            rig.replies.add(type, payload);
            if (answers && !answers(type, payload)) return;
            deliverAnswer(type, payload);
        };
    }
    ~DirectPair() { finish(); }

    void deliverAnswer(uint8_t type, const Bytes& payload) {
        if (type == kFileAck) sender.onAck(payload);
        if (type == kFileSaved) sender.onSaved(payload);
        if (type == kFileRefused) sender.onRefused(payload);
    }
    // The result line of the next batch (waits for it).
    std::string result(size_t index = 0, int ms = 20000) {
        if (!waitFor([&] { return results.size() > index; }, ms)) return "<no result>";
        return results.all()[index];
    }
    // Stops the sender before the receiver goes, as a session does.
    void finish() {
        sender.cancel();
        waitFor([&] { return !sender.busy(); });
    }

    // Declared before the sender, which its worker uses until the sender is gone.
    ReceiverRig rig;
    SentLog wire;        // everything the sender sent
    TextLog results;
    // Return false to keep a message from the receiver (or an answer from the sender).
    std::function<bool(uint8_t, const Bytes&)> filter;
    std::function<bool(uint8_t, const Bytes&)> answers;
    FileSender sender;
};

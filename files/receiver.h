// FileReceiver: the receiving end of the file-transfer messages of one session. Each file is
// written to a part file beside its final place (a dot, the name, ".tavrel-part"), renamed when
// it ends, marked as coming from another computer, and each finished batch is reported.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "files/fileio.h"
#include "files/status.h"

// Transfers a peer may hold open at once (a sender opens one at a time); batch records live
// only while one of their files is open or until the next batch begins, so they stay as few.
inline constexpr size_t kMaxOpenIncomingFiles = 32;

// Marks a received file as coming from the Internet: the ":Zone.Identifier" stream beside it.
void writeZoneMark(const std::wstring& path);

class FileReceiver {
public:
    FileReceiver() = default;
    // Drops every open transfer (abortAll).
    ~FileReceiver();
    FileReceiver(const FileReceiver&) = delete;
    FileReceiver& operator=(const FileReceiver&) = delete;

    // Sends a session message to the peer; when empty, replies are skipped.
    std::function<void(uint8_t type, std::vector<uint8_t> const& payload)> send;
    // Asked once per new batch, at its first header; false refuses it.
    std::function<bool()> acceptNewBatch = [] { return true; };
    // The folder of a new batch; an empty answer means defaultFolder.
    std::function<std::wstring()> destination = [this] { return fallbackFolder(); };
    // Progress text; "" clears it. May be empty.
    std::function<void(std::string const&)> status;
    // Once per batch, when its last file is saved: first top-level path, files saved, bytes.
    std::function<void(std::wstring const& path, int files, unsigned long long bytes)> batchReceived;
    // The reason text of an abort from the sender. May be empty.
    std::function<void(std::string const&)> notify;
    // Writes the zone mark beside a saved file (best effort).
    std::function<void(std::wstring const& path)> zoneMark = writeZoneMark;
    // Where files go when destination gives no folder.
    std::function<std::wstring()> defaultFolder = downloadsFolder;

    // How often progress is shown, and how many transfers may be open at once.
    std::chrono::milliseconds progressInterval{250};
    size_t maxOpenFiles = kMaxOpenIncomingFiles;

    // Applies one message of type 112 to 115 (others are ignored). Every exception of a handler
    // is swallowed, and nothing is sent for that message. Called on the session's receive thread.
    void handle(uint8_t type, std::vector<uint8_t> const& payload);
    // Drops every open transfer (handle closed, part file deleted) and forgets every batch.
    // Any thread; a write in progress finishes first.
    void abortAll();
    // Closes and deletes the part file of one transfer; its batch stays.
    void dropTransfer(uint32_t id);
    // Sends FileRefused with the id and reason (when `send` is set).
    void refuse(uint32_t id, const std::string& reason);

    // One open part file; the transfer's record and a write in progress share it, so that a
    // concurrent abort closes it only between writes.
    struct PartFile {
        std::mutex mutex;
        FileHandle file;
    };
    struct IncomingFile {
        std::shared_ptr<PartFile> handle;
        std::wstring partPath;
        std::wstring finalPath;
        std::wstring topPath;    // the batch's top-level item holding this file, as saved
        uint64_t written = 0;
        uint32_t batchId = 0;
        uint32_t index = 0;
        uint32_t count = 0;
    };
    struct IncomingBatch {
        std::wstring folder;
        std::map<std::wstring, std::wstring> topNames;  // received top-level name -> name on disk
        uint64_t received = 0;
        uint64_t total = 0;
        uint32_t saved = 0;
        std::wstring firstPath;
    };

    // Guards files, batches and lastProgress; never held across a hook, a write, a close, a
    // rename or a delete.
    std::mutex mutex;
    std::map<uint32_t, IncomingFile> files;
    std::map<uint32_t, IncomingBatch> batches;
    int64_t lastProgress = 0;

private:
    void onBegin(std::vector<uint8_t> const& payload);
    void onData(std::vector<uint8_t> const& payload);
    void onEnd(std::vector<uint8_t> const& payload);
    void onAbort(std::vector<uint8_t> const& payload);
    // Takes the record of an open transfer out of `files`; false when there is none.
    bool takeFile(uint32_t id, IncomingFile& file);
    std::wstring fallbackFolder() const { return defaultFolder ? defaultFolder() : downloadsFolder(); }
};

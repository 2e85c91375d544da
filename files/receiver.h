// FileReceiver: the receiving end of the file-transfer messages of one session. Each file is
// written to a part file beside its final place (a dot, the name, ".tavrel-part"), renamed when
// it ends, marked as coming from another computer, and each finished batch is reported.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "files/expand.h"
#include "files/fileio.h"
#include "files/status.h"

struct FileBeginMsg;

// Transfers a peer may hold open at once (a sender opens one at a time); batch records live
// only while one of their files is open or until the next batch begins, so they stay as few.
inline constexpr size_t kMaxOpenIncomingFiles = 32;
// A batch that brings nothing for this long is ended with what arrived.
inline constexpr std::chrono::milliseconds kIncomingBatchIdle{60000};

// Marks a received file as coming from the Internet: the ":Zone.Identifier" stream beside it.
void writeZoneMark(const std::wstring& path);

class FileReceiver {
public:
    FileReceiver() = default;
    // Drops every open transfer (abortAll) and returns once the idle watch has left.
    ~FileReceiver();
    FileReceiver(const FileReceiver&) = delete;
    FileReceiver& operator=(const FileReceiver&) = delete;

    // Sends a session message to the peer; when empty, replies are skipped.
    std::function<void(uint8_t type, std::vector<uint8_t> const& payload)> send;
    // Asked once per new batch, at its first header; false refuses it. One answer admits one
    // batch: at most its announced count of files (no more than maxBatchFiles), each index once.
    std::function<bool()> acceptNewBatch = [] { return true; };
    // The folder of a new batch; an empty answer means defaultFolder.
    std::function<std::wstring()> destination = [this] { return fallbackFolder(); };
    // Progress text; "" clears it. May be empty.
    std::function<void(std::string const&)> status;
    // Once per batch, when its last file is saved: first top-level path, files saved, bytes.
    std::function<void(std::wstring const& path, int files, unsigned long long bytes)> batchReceived;
    // The reason text of an abort of a transfer under way here (for a file this side refused, its
    // own refusal text); aborts of anything else show nothing. May be empty.
    std::function<void(std::string const&)> notify;
    // Writes the zone mark beside a saved file (best effort).
    std::function<void(std::wstring const& path)> zoneMark = writeZoneMark;
    // Called between the removal of whatever lay under a part file's name and the making of the
    // part file (tests put a link there, as another program could). May be empty.
    std::function<void(std::wstring const& partPath)> partNameFreed;
    // Where files go when destination gives no folder.
    std::function<std::wstring()> defaultFolder = downloadsFolder;

    // How often progress is shown, how many transfers may be open at once, how many files a batch
    // may announce (as many as a sender puts in one), and how long a batch may bring nothing.
    std::chrono::milliseconds progressInterval{250};
    size_t maxOpenFiles = kMaxOpenIncomingFiles;
    size_t maxBatchFiles = kMaxBatchFiles;
    std::chrono::milliseconds idleTimeout = kIncomingBatchIdle;

    // Takes no further message and ends the idle watch, without waiting for a write under way
    // (the folder may be a stalled share); what is open stays until abortAll or destruction.
    void stop();
    // Applies one message of type 112 to 115 (others are ignored). Every exception of a handler
    // is swallowed, and nothing is sent for that message. Called on the session's receive thread.
    void handle(uint8_t type, std::vector<uint8_t> const& payload);
    // Drops every open transfer (handle closed, part file deleted) and forgets every batch
    // (except that of a file that began meanwhile).
    // Any thread; a write in progress finishes first, and so does an idle batch's report. True
    // when there was something to drop.
    bool abortAll();
    // Ends whatever is under way as abortAll does and answers each open transfer with FileRefused
    // and `reason`, so that the sender stops; later headers of those batches are new batches and
    // need acceptNewBatch again. True when there was something to end.
    bool refuseAll(const std::string& reason);
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
        uint64_t size = 0;       // announced in the header; a file ending short of it is not kept
    };
    struct IncomingBatch {
        std::wstring folder;
        std::map<std::wstring, std::wstring> topNames;  // received top-level name -> name on disk
        uint64_t received = 0;
        uint64_t total = 0;
        uint32_t saved = 0;
        std::wstring firstPath;
        uint32_t count = 0;                 // announced by its first header
        std::vector<bool> seen;             // indices whose header came
        uint64_t savedBytes = 0;            // bytes of the files saved
        int64_t lastActivity = 0;           // nowNanos of its latest message
    };

    // Guards files, batches, lastProgress and the idle watch; never held across a hook, a write,
    // a close, a rename or a delete.
    std::mutex mutex;
    std::map<uint32_t, IncomingFile> files;
    std::map<uint32_t, IncomingBatch> batches;
    int64_t lastProgress = 0;

private:
    // Checks a header against its batch, which is entered when new; "" when it is accepted,
    // else the refusal text. Called with `mutex` held.
    std::string admitLocked(uint32_t batchId, uint32_t index, uint32_t count);
    // The idle watch: one thread while batches exist, ending batches that bring nothing.
    void startWatchLocked();
    void watchIdle();
    // Takes the idle batches and their open files out of the maps; called with `mutex` held.
    struct Expired {
        std::vector<std::pair<uint32_t, IncomingFile>> files;
        std::vector<IncomingBatch> batches;
    };
    Expired takeIdleLocked(int64_t now, int64_t& nextDeadline);
    // Whether a file of the batch is open; the batch is forgotten only when none is (the
    // Locked ones are called with `mutex` held).
    bool batchOpenLocked(uint32_t batchId) const;
    void forgetBatchLocked(uint32_t batchId);
    // Forgets every batch without an open file.
    void forgetBatchesLocked();
    // Waits until no idle report is under way (unless called from within one).
    void waitForReportsLocked(std::unique_lock<std::mutex>& lock);
    // The ids of the open files, once no report runs; `any`: a file or batch is under way.
    std::vector<uint32_t> openIds(bool& any);
    // Sends FileRefused and remembers it, so that the sender's abort of that file, which echoes
    // the refusal, is known and shown with this side's own text.
    void refuseFile(uint32_t id, uint32_t batchId, const std::string& reason);
    uint32_t refusedId_ = 0;
    uint32_t refusedBatch_ = 0;
    std::string refusedText_;
    std::condition_variable watchChanged_;
    bool closed_ = false;
    bool watching_ = false;
    bool reporting_ = false;
    std::thread::id watchThread_;

    void onBegin(std::vector<uint8_t> const& payload);
    // The steps of onBegin, in their order. A step that stops the header has sent its refusal,
    // if any; the checks return false then.
    // True when the header's id names a transfer still open: that one is dropped and refused.
    bool dropReopenedTransfer(const FileBeginMsg& header);
    // Refuses a peer with too many files open; the first header of a batch starts it.
    bool enterBatch(const FileBeginMsg& header);
    // A new batch's count and index, then the user's permit (acceptNewBatch).
    bool checkNewBatch(const FileBeginMsg& header);
    // Asks for the folder, forgets the batches that are over and enters the new one.
    void startBatch(const FileBeginMsg& header);
    // The header against its batch's own announcement (admitLocked).
    bool admitHeader(const FileBeginMsg& header);
    // The relative path into checked components.
    bool splitHeaderPath(const FileBeginMsg& header, std::vector<std::wstring>& parts);
    // The path of the top-level item on disk, a free name on its first use in the batch.
    bool claimTopPath(const FileBeginMsg& header, const std::wstring& topName, std::wstring& topPath);
    // The folders between the top-level item and the file.
    bool makeParentFolders(const FileBeginMsg& header, const std::wstring& topPath,
                           const std::vector<std::wstring>& parts);
    // No other open transfer writes the same part file.
    bool partPathFree(const FileBeginMsg& header, const std::wstring& partPath);
    // Replaces whatever lies under the part file's name by a new, empty file; null when refused.
    std::shared_ptr<PartFile> createPartFile(const FileBeginMsg& header, const std::wstring& partPath);
    // Enters the open transfer.
    void recordFile(const FileBeginMsg& header, std::shared_ptr<PartFile> part, const std::wstring& partPath,
                    std::wstring finalPath, std::wstring topPath);
    void onData(std::vector<uint8_t> const& payload);
    void onEnd(std::vector<uint8_t> const& payload);
    void onAbort(std::vector<uint8_t> const& payload);
    // Takes the record of an open transfer out of `files`; false when there is none.
    bool takeFile(uint32_t id, IncomingFile& file);
    std::wstring fallbackFolder() const { return defaultFolder ? defaultFolder() : downloadsFolder(); }
};

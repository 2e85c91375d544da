// FileSender: sends batches of local files and folders to the peer of one session, one file at a
// time, on one worker thread, with per-file flow control driven by the receiver's acknowledgements,
// and reports one result line per batch. The session's receive thread feeds it the receiver's
// answers (onAck, onSaved, onRefused).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "files/expand.h"

// The result line of a batch that the peer confirmed: the file's relative path (or "파일 N개"),
// the size, the seconds (at least 0.1), the peer and where it saved the batch; for several picked
// items the saved path is cut before its last separator, so that it names the receiving folder.
std::string batchResultLine(const std::vector<OutgoingFile>& files, uint64_t total, double seconds,
                            const std::string& peerName, std::string savedName);

class FileSender {
public:
    FileSender() = default;
    // Stops the running batch and returns only after the worker has left.
    ~FileSender();
    FileSender(const FileSender&) = delete;
    FileSender& operator=(const FileSender&) = delete;

    // Writes one session message; installed by the owning session before any use.
    std::function<void(unsigned char type, std::vector<unsigned char> const& payload)> send;
    // One-line progress text; "" clears it. May be empty.
    std::function<void(std::string const&)> status;
    // The result or error line of each batch. May be empty.
    std::function<void(std::string const&)> notify;
    // The peer's display name in texts.
    std::string peerName;

    // How long the window may stay closed, how long the last file's confirmation may take, how
    // often progress is shown, and how many files a batch may hold. Set before the first enqueue.
    std::chrono::milliseconds stallTimeout{15000};
    std::chrono::milliseconds confirmTimeout{30000};
    std::chrono::milliseconds progressInterval{250};
    size_t maxFiles = kMaxBatchFiles;
    // How many batches may wait behind the running one; a peer that asks again and again while
    // withholding its answers must not grow the queue. Set before the first enqueue.
    size_t maxWaiting = SIZE_MAX;

    // Queues one batch of local paths (an empty one is ignored, as is every batch once the sender
    // is being destroyed) and starts the worker when none runs. A batch with a remote folder names
    // that folder to the peer (SetDownloadFolder) right before its first file, so that the folder
    // reaches this batch and not one queued ahead of it; a batch that sends no file names none.
    // False, and nothing queued, when maxWaiting batches already wait.
    bool enqueue(std::vector<std::wstring> batch, std::string remoteFolder = std::string());
    // Stops the running batch and drops the queued ones; later batches run. The running file is
    // aborted with `reason` ("보내기를 멈췄습니다" when empty), which is also the batch's result.
    // True when this stopped something (a batch running or queued that no stop had reached yet).
    bool cancel(std::string reason = std::string());
    // A batch is running or waiting.
    bool busy();
    // The receiver's answers (types 116, 117, 118). Short payloads throw ProtoError "짧은 메시지".
    // An acknowledgement counts only for the file being sent and up to what was sent of it; a
    // confirmation is kept only for the running batch's latest file; a refusal stops the running
    // batch only when it names one of that batch's transfers. Texts are cut to kMaxPeerTextBytes.
    void onAck(std::vector<unsigned char> const& payload);
    void onSaved(std::vector<unsigned char> const& payload);
    void onRefused(std::vector<unsigned char> const& payload);
    // The refusal text, or the cancel's reason, or "".
    std::string stopReason();
    // The next transfer id: 1, 2, ... 0xFFFFFFFF, 1; never 0.
    uint32_t nextTransferId();

    // State below is guarded by `mutex`; `wakeup` signals every change.
    std::mutex mutex;
    std::condition_variable wakeup;
    struct Batch {
        std::vector<std::wstring> paths;
        std::string remoteFolder;  // UTF-8; "" leaves the place to the peer
    };
    std::deque<Batch> queue;
    bool running = false;     // a worker is active
    bool cancelled = false;   // the running batch is to stop; cleared when the next batch starts
    std::string cancelReason; // the abort text of that stop; "" for "보내기를 멈췄습니다"
    bool closed = false;      // being destroyed
    std::map<uint32_t, uint64_t> acked;      // file id -> largest acknowledged count
    std::map<uint32_t, uint64_t> sentBytes;  // file id -> bytes of it sent so far
    std::map<uint32_t, std::string> saved;   // file id -> saved location (at most one entry)
    std::string lastError;                   // a refusal that stops the running batch
    uint32_t nextId = 1;
    int workerCount = 0;
    // The ids the running batch has drawn, batch id first (consecutive, skipping 0).
    bool batchActive = false;
    uint32_t batchFirstId = 0;
    uint32_t batchLastId = 0;

private:
    void workerBody();
    std::string sendBatch(const Batch& batch);
    std::string sendFiles(const std::vector<OutgoingFile>& files, uint32_t batchId, uint64_t total,
                          uint32_t& lastFileId);
    bool ofRunningBatch(uint32_t id) const;
    void emit(unsigned char type, std::vector<unsigned char> const& payload);
};

#include "files/sender.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "core/wire.h"
#include "files/fileio.h"
#include "files/paths.h"
#include "files/status.h"
#include "files/transfer_messages.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kStopped = "보내기를 멈췄습니다";
const char* const kUnreadable = "읽을 수 없음";

std::string unreadableResult(const OutgoingFile& file, uint32_t error) {
    return file.relPath + " 을(를) 읽을 수 없어 멈췄습니다 (" + winErrorText(error) + ")";
}

}  // namespace

std::string batchResultLine(const std::vector<OutgoingFile>& files, uint64_t total, double seconds,
                            const std::string& peerName, std::string savedName) {
    const std::string name = files.size() == 1 ? files[0].relPath : "파일 " + std::to_string(files.size()) + "개";
    std::set<std::string> topNames;
    for (const auto& f : files) topNames.insert(f.relPath.substr(0, f.relPath.find('/')));
    if (topNames.size() > 1) {
        // The saved path names the first picked item; its folder says where all of them went.
        const size_t cut = savedName.find_last_of("/\\");
        if (cut != std::string::npos && cut > 0) savedName.resize(cut);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::max(0.1, seconds));
    return name + " (" + formatSize(total) + ", " + text + "초) → " + peerName + ": " + savedName;
}

FileSender::~FileSender() {
    std::unique_lock lock(mutex);
    closed = true;
    cancelled = true;
    queue.clear();
    wakeup.notify_all();
    wakeup.wait(lock, [this] { return workerCount == 0; });
}

void FileSender::emit(unsigned char type, std::vector<unsigned char> const& payload) {
    if (send) send(type, payload);
}

bool FileSender::enqueue(std::vector<std::wstring> batch, std::string remoteFolder) {
    if (batch.empty()) return true;
    std::lock_guard lock(mutex);
    if (closed) return true;
    if (queue.size() >= maxWaiting) return false;
    queue.push_back({std::move(batch), std::move(remoteFolder)});
    if (running) return true;
    ++workerCount;
    running = true;
    try {
        std::thread([this] { workerBody(); }).detach();
    } catch (const std::system_error&) {
        --workerCount;
        running = false;
        queue.pop_back();
        throw;
    }
    return true;
}

bool FileSender::cancel(std::string reason) {
    std::lock_guard lock(mutex);
    const bool stopped = !queue.empty() || (running && !cancelled);
    // The first stop's reason stands: it is the one the running file is aborted with.
    if (!cancelled) cancelReason = std::move(reason);
    cancelled = true;
    queue.clear();
    wakeup.notify_all();
    return stopped;
}

bool FileSender::busy() {
    std::lock_guard lock(mutex);
    return running || !queue.empty();
}

void FileSender::onAck(std::vector<unsigned char> const& payload) {
    const FileAckMsg ack = FileAckMsg::decode(payload);
    std::lock_guard lock(mutex);
    auto it = acked.find(ack.id);
    auto sent = sentBytes.find(ack.id);
    // A count beyond what was sent would open the window for bytes never acknowledged.
    if (it != acked.end() && sent != sentBytes.end() && ack.written > it->second && ack.written <= sent->second)
        it->second = ack.written;
    wakeup.notify_all();
}

void FileSender::onSaved(std::vector<unsigned char> const& payload) {
    IdTextMsg m = IdTextMsg::decode(payload);
    std::lock_guard lock(mutex);
    // Only the running batch's latest file is waited for; confirmations of anything else would
    // only fill memory.
    if (!batchActive || m.id != batchLastId) return;
    saved.clear();
    saved[m.id] = cappedPeerText(std::move(m.text));
    wakeup.notify_all();
}

void FileSender::onRefused(std::vector<unsigned char> const& payload) {
    if (decodeTransferId(payload) == 0) return;  // answers a request, concerns no transfer
    IdTextMsg m = IdTextMsg::decode(payload);
    std::lock_guard lock(mutex);
    // A late refusal of an earlier batch's file must not stop the one running now.
    if (!ofRunningBatch(m.id)) return;
    lastError = m.text.empty() ? peerName + "이(가) 받지 않았습니다" : cappedPeerText(std::move(m.text));
    wakeup.notify_all();
}

bool FileSender::ofRunningBatch(uint32_t id) const {
    if (!batchActive) return false;
    if (batchFirstId <= batchLastId) return id >= batchFirstId && id <= batchLastId;
    return id >= batchFirstId || (id != 0 && id <= batchLastId);  // the counter wrapped
}

std::string FileSender::stopReason() {
    std::lock_guard lock(mutex);
    if (!lastError.empty()) return lastError;
    if (cancelled) return cancelReason.empty() ? std::string(kStopped) : cancelReason;
    return std::string();
}

uint32_t FileSender::nextTransferId() {
    std::lock_guard lock(mutex);
    const uint32_t id = nextId;
    nextId = nextId == 0xFFFFFFFFu ? 1 : nextId + 1;
    return id;
}

void FileSender::workerBody() {
    for (;;) {
        Batch batch;
        {
            std::lock_guard lock(mutex);
            // Deciding "nothing left" and "no worker" in one step: a batch queued right now
            // starts a worker of its own instead of waiting here unseen.
            if (queue.empty() || closed) {
                running = false;
                --workerCount;
                wakeup.notify_all();
                return;  // `this` may be gone as soon as the lock is released
            }
            batch = std::move(queue.front());
            queue.pop_front();
            lastError.clear();
            cancelled = false;  // a cancel stops the batch it found, not this one
            cancelReason.clear();
            saved.clear();
        }
        const std::string result = sendBatch(batch);
        if (status) status(std::string());
        if (!result.empty() && notify) notify(result);
    }
}

std::string FileSender::sendBatch(const Batch& batch) {
    bool tooMany = false;
    const std::vector<OutgoingFile> files = expandBatch(batch.paths, maxFiles, &tooMany);
    if (tooMany) return tooManyFilesText(maxFiles);
    if (files.empty()) return "보낼 파일이 없습니다";
    uint64_t total = 0;
    for (const auto& f : files) total += f.size;
    const uint32_t count = uint32_t(files.size());
    const auto start = Clock::now();
    const uint32_t batchId = nextTransferId();
    {
        std::lock_guard lock(mutex);
        batchActive = true;
        batchFirstId = batchLastId = batchId;
    }
    // Only now, right before the first file: the peer gives the folder to its next new batch.
    if (!batch.remoteFolder.empty())
        emit(kSetDownloadFolder, Bytes(batch.remoteFolder.begin(), batch.remoteFolder.end()));
    uint32_t lastFileId = 0;
    const std::string stopped = sendFiles(files, batchId, total, lastFileId);
    if (!stopped.empty()) {
        std::lock_guard lock(mutex);
        batchActive = false;
        return stopped;
    }

    if (status) status(formatProgress(count - 1, count, total, total, "보내는") + " · 저장 확인 중");
    std::string savedName, errorText;
    {
        std::unique_lock lock(mutex);
        const auto deadline = Clock::now() + confirmTimeout;
        for (;;) {
            auto it = saved.find(lastFileId);
            if (it != saved.end()) {
                savedName = it->second;
                break;
            }
            if (!lastError.empty() || cancelled) break;
            if (wakeup.wait_until(lock, deadline) == std::cv_status::timeout && Clock::now() >= deadline) {
                it = saved.find(lastFileId);
                if (it != saved.end()) savedName = it->second;
                break;
            }
        }
        errorText = std::move(lastError);
        lastError.clear();
        saved.clear();
        batchActive = false;
    }

    if (!errorText.empty()) return errorText;
    if (savedName.empty()) return peerName + "이(가) 저장했는지 확인하지 못했습니다";
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return batchResultLine(files, total, elapsed, peerName, std::move(savedName));
}

// Sends every file of the batch; "" when all ended, else the reason the batch stopped.
std::string FileSender::sendFiles(const std::vector<OutgoingFile>& files, uint32_t batchId, uint64_t total,
                                  uint32_t& lastFileId) {
    const uint32_t count = uint32_t(files.size());
    std::vector<unsigned char> chunk;  // the id, then one read's bytes: one buffer for the batch
    chunk.reserve(4 + kChunkBytes);
    uint64_t batchSent = 0;
    Clock::time_point lastProgress{};
    for (uint32_t i = 0; i < count; ++i) {
        const OutgoingFile& file = files[i];
        const uint32_t id = nextTransferId();
        lastFileId = id;
        {
            std::lock_guard lock(mutex);
            acked[id] = 0;
            sentBytes[id] = 0;
            batchLastId = id;
        }
        auto forget = [this, id] {
            std::lock_guard lock(mutex);
            acked.erase(id);
            sentBytes.erase(id);
        };
        emit(kFileBegin, FileBeginMsg{id, batchId, i, count, file.size, total, file.relPath}.encode());
        FileHandle in = FileHandle::openForReading(longPath(file.path));
        if (!in.valid()) {
            forget();
            emit(kFileAbort, idPayload(id, kUnreadable));
            return unreadableResult(file, in.openError());
        }
        uint64_t fileSent = 0;
        std::string reason;
        for (;;) {
            reason = stopReason();
            if (!reason.empty()) break;
            chunk.resize(4 + kChunkBytes);
            storeBe32(chunk.data(), id);
            size_t n = 0;
            if (const uint32_t error = in.read(chunk.data() + 4, kChunkBytes, n)) {
                // A failed read is no end of file: the receiver must not keep a truncated copy.
                forget();
                emit(kFileAbort, idPayload(id, kUnreadable));
                return unreadableResult(file, error);
            }
            if (n == 0) break;
            chunk.resize(4 + n);
            {
                std::unique_lock lock(mutex);
                // Acknowledgements never exceed what was sent, so the difference cannot wrap.
                auto windowClosed = [&] { return fileSent - acked[id] > kWindowBytes; };
                const auto deadline = Clock::now() + stallTimeout;
                while (!cancelled && lastError.empty() && windowClosed()) {
                    if (wakeup.wait_until(lock, deadline) == std::cv_status::timeout && Clock::now() >= deadline) {
                        if (!cancelled && lastError.empty() && windowClosed())
                            reason = peerName + "이(가) 응답하지 않아 멈췄습니다";
                        break;
                    }
                }
                // Counted before it goes out: its acknowledgement may come back before emit returns.
                if (reason.empty() && !cancelled && lastError.empty()) sentBytes[id] = fileSent + n;
            }
            if (!reason.empty()) break;
            if (!stopReason().empty()) continue;
            emit(kFileData, chunk);
            batchSent += n;
            const auto now = Clock::now();
            if (now - lastProgress > progressInterval) {
                if (status) status(formatProgress(i, count, batchSent, total, "보내는"));
                lastProgress = now;
            }
            fileSent += n;
        }
        in.close();
        forget();
        if (!reason.empty()) {
            emit(kFileAbort, idPayload(id, reason));
            return reason;
        }
        emit(kFileEnd, idPayload(id));
    }
    return std::string();
}

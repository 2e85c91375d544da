#include "files/receiver.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "core/config/store.h"
#include "core/util.h"
#include "core/wire.h"
#include "files/paths.h"
#include "files/transfer_messages.h"

namespace {

// Closes a part file once no write is using it.
void closePart(const std::shared_ptr<FileReceiver::PartFile>& part) {
    if (!part) return;
    std::lock_guard lock(part->mutex);
    part->file.close();
}

// A header that breaks the batch's own announcement (an index past the count, an index twice, a
// count that changes or is out of reach, a second header for an open transfer).
std::string invalidHeaderText() { return "저장할 수 없습니다 (" + winErrorText(kErrInvalidData) + ")"; }

// The part file beside a file's final place: a dot, the name, ".tavrel-part".
std::wstring partPathOf(const std::wstring& finalPath) {
    return joinPath(folderPart(finalPath), L"." + fileNamePart(finalPath) + L".tavrel-part");
}

}  // namespace

void writeZoneMark(const std::wstring& path) {
    static const char kMark[] = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=about:internet\r\n";
    FileHandle mark = FileHandle::createForWriting(longPath(path + L":Zone.Identifier"), 0);
    if (mark.valid()) mark.write(reinterpret_cast<const uint8_t*>(kMark), sizeof kMark - 1);
}

FileReceiver::~FileReceiver() {
    {
        std::unique_lock lock(mutex);
        closed_ = true;
        watchChanged_.notify_all();
        watchChanged_.wait(lock, [this] { return !watching_; });
    }
    abortAll();
}

void FileReceiver::stop() {
    std::lock_guard lock(mutex);
    closed_ = true;
    watchChanged_.notify_all();
}

void FileReceiver::handle(uint8_t type, std::vector<uint8_t> const& payload) {
    {
        std::lock_guard lock(mutex);
        if (closed_) return;
    }
    try {
        switch (type) {
            case kFileBegin: onBegin(payload); break;
            case kFileData: onData(payload); break;
            case kFileEnd: onEnd(payload); break;
            case kFileAbort: onAbort(payload); break;
            default: break;
        }
    } catch (const std::exception&) {
        // A short payload or a failed allocation costs this one message, not the session.
    }
}

void FileReceiver::refuse(uint32_t id, const std::string& reason) { refuseFile(id, 0, reason); }

void FileReceiver::refuseFile(uint32_t id, uint32_t batchId, const std::string& reason) {
    {
        std::lock_guard lock(mutex);
        refusedId_ = id;
        refusedBatch_ = batchId;
        refusedText_ = cappedPeerText(reason);
    }
    if (send) send(kFileRefused, idPayload(id, reason));
}

bool FileReceiver::takeFile(uint32_t id, IncomingFile& file) {
    std::lock_guard lock(mutex);
    auto it = files.find(id);
    if (it == files.end()) return false;
    file = std::move(it->second);
    files.erase(it);
    return true;
}

void FileReceiver::dropTransfer(uint32_t id) {
    IncomingFile file;
    if (!takeFile(id, file)) return;
    closePart(file.handle);
    deleteFile(longPath(file.partPath));
}

void FileReceiver::waitForReportsLocked(std::unique_lock<std::mutex>& lock) {
    if (watchThread_ == std::this_thread::get_id()) return;  // a hook of the report itself
    watchChanged_.wait(lock, [this] { return !reporting_; });
}

std::vector<uint32_t> FileReceiver::openIds(bool& any) {
    std::vector<uint32_t> ids;
    std::unique_lock lock(mutex);
    waitForReportsLocked(lock);
    for (const auto& [id, file] : files) ids.push_back(id);
    any = !files.empty() || !batches.empty();
    return ids;
}

bool FileReceiver::batchOpenLocked(uint32_t batchId) const {
    for (const auto& [id, file] : files)
        if (file.batchId == batchId) return true;
    return false;
}

void FileReceiver::forgetBatchLocked(uint32_t batchId) {
    // A batch with a file still open stays, so that the file stays watched, its later headers
    // keep to the batch's count and indices, and its end is reported.
    if (!batchOpenLocked(batchId)) batches.erase(batchId);
}

void FileReceiver::forgetBatchesLocked() {
    for (auto it = batches.begin(); it != batches.end();) it = batchOpenLocked(it->first) ? std::next(it) : batches.erase(it);
    watchChanged_.notify_all();
}

bool FileReceiver::abortAll() {
    bool any = false;
    const std::vector<uint32_t> ids = openIds(any);
    for (uint32_t id : ids) dropTransfer(id);
    std::lock_guard lock(mutex);
    forgetBatchesLocked();
    return any;
}

bool FileReceiver::refuseAll(const std::string& reason) {
    bool any = false;
    const std::vector<uint32_t> ids = openIds(any);
    for (uint32_t id : ids) {
        IncomingFile file;
        if (!takeFile(id, file)) continue;  // ended meanwhile
        closePart(file.handle);
        deleteFile(longPath(file.partPath));
        refuseFile(id, file.batchId, reason);
    }
    {
        std::lock_guard lock(mutex);
        forgetBatchesLocked();
    }
    if (any && status) status(std::string());
    return any;
}

std::string FileReceiver::admitLocked(uint32_t batchId, uint32_t index, uint32_t count) {
    auto b = batches.find(batchId);
    if (b == batches.end()) return std::string();  // aborted meanwhile: the caller stops quietly
    IncomingBatch& batch = b->second;
    if (count != batch.count || index >= batch.count || batch.seen[index]) return invalidHeaderText();
    batch.seen[index] = true;
    batch.lastActivity = nowNanos();
    return std::string();
}

void FileReceiver::startWatchLocked() {
    if (watching_ || closed_) return;
    watching_ = true;
    try {
        std::thread([this] { watchIdle(); }).detach();
    } catch (const std::system_error&) {
        watching_ = false;  // no thread to spare: the batch runs without its time-out
    }
}

FileReceiver::Expired FileReceiver::takeIdleLocked(int64_t now, int64_t& nextDeadline) {
    Expired out;
    const int64_t idle = std::chrono::nanoseconds(idleTimeout).count();
    nextDeadline = INT64_MAX;
    for (auto b = batches.begin(); b != batches.end();) {
        const int64_t deadline = b->second.lastActivity + idle;
        if (deadline > now) {
            nextDeadline = std::min(nextDeadline, deadline);
            ++b;
            continue;
        }
        for (auto f = files.begin(); f != files.end();) {
            if (f->second.batchId != b->first) {
                ++f;
                continue;
            }
            out.files.emplace_back(f->first, std::move(f->second));
            f = files.erase(f);
        }
        out.batches.push_back(std::move(b->second));
        b = batches.erase(b);
    }
    return out;
}

// Runs while batches exist: a batch that brings nothing for idleTimeout is ended, its open file
// dropped and refused, and what it saved reported. Hooks run with the lock released; abortAll
// waits for such a report, so nothing is reported after it.
void FileReceiver::watchIdle() {
    std::unique_lock lock(mutex);
    watchThread_ = std::this_thread::get_id();
    const std::string timedOut = "저장하다 멈췄습니다 (" + winErrorText(kErrTimeout) + ")";
    while (!closed_ && !batches.empty()) {
        int64_t next = 0;
        Expired expired = takeIdleLocked(nowNanos(), next);
        if (expired.batches.empty()) {
            watchChanged_.wait_for(lock, std::chrono::nanoseconds(std::max<int64_t>(next - nowNanos(), 1000000)));
            continue;
        }
        reporting_ = true;
        lock.unlock();
        for (auto& [id, file] : expired.files) {
            closePart(file.handle);
            deleteFile(longPath(file.partPath));
            refuseFile(id, 0, timedOut);
        }
        for (const IncomingBatch& batch : expired.batches) {
            if (status) status(std::string());
            if (batch.saved > 0 && batchReceived) batchReceived(batch.firstPath, int(batch.saved), batch.savedBytes);
        }
        lock.lock();
        reporting_ = false;
        watchChanged_.notify_all();
    }
    watching_ = false;
    watchThread_ = std::thread::id();
    watchChanged_.notify_all();
}

// A header passes these steps in order; one that refuses it, or finds its batch gone, ends it
// here, and the file is recorded only when all of them passed.
void FileReceiver::onBegin(std::vector<uint8_t> const& payload) {
    const FileBeginMsg header = FileBeginMsg::decode(payload);
    if (dropReopenedTransfer(header)) return;
    if (!enterBatch(header)) return;
    if (!admitHeader(header)) return;

    std::vector<std::wstring> parts;
    if (!splitHeaderPath(header, parts)) return;
    std::wstring topPath;
    if (!claimTopPath(header, parts[0], topPath)) return;

    std::wstring finalPath = topPath;
    for (size_t i = 1; i < parts.size(); ++i) finalPath = joinPath(finalPath, parts[i]);
    if (!makeParentFolders(header, topPath, parts)) return;
    const std::wstring partPath = partPathOf(finalPath);
    if (!partPathFree(header, partPath)) return;
    std::shared_ptr<PartFile> part = createPartFile(header, partPath);
    if (!part) return;
    recordFile(header, std::move(part), partPath, std::move(finalPath), std::move(topPath));
}

bool FileReceiver::dropReopenedTransfer(const FileBeginMsg& header) {
    // A second header for a transfer still open is no new file: the open one is dropped and
    // refused, and the batch gains nothing.
    IncomingFile open;
    if (takeFile(header.id, open)) {
        closePart(open.handle);
        deleteFile(longPath(open.partPath));
        refuseFile(header.id, open.batchId, invalidHeaderText());
        return true;
    }
    return false;
}

bool FileReceiver::enterBatch(const FileBeginMsg& header) {
    bool known = false;
    size_t open = 0;
    {
        std::lock_guard lock(mutex);
        open = files.size();
        known = batches.count(header.batchId) != 0;
    }
    // A peer cannot hold any number of files open; refused before a permit is spent on it.
    if (open >= maxOpenFiles) {
        refuse(header.id, "저장할 수 없습니다 (" + winErrorText(kErrTooManyOpenFiles) + ")");
        return false;
    }
    if (!known) {
        if (!checkNewBatch(header)) return false;
        startBatch(header);
    }
    return true;
}

bool FileReceiver::checkNewBatch(const FileBeginMsg& header) {
    // A batch larger than any sender makes, or a header outside its own count, is refused
    // whole, before a permit is spent on it.
    if (header.count == 0 || header.count > maxBatchFiles || header.index >= header.count) {
        refuse(header.id, invalidHeaderText());
        return false;
    }
    if (!acceptNewBatch()) {
        refuse(header.id, "파일 받기가 꺼져 있습니다");
        return false;
    }
    return true;
}

void FileReceiver::startBatch(const FileBeginMsg& header) {
    std::wstring folder = destination();
    if (folder.empty()) folder = fallbackFolder();
    std::lock_guard lock(mutex);
    // A sender runs one batch at a time: batches without an open file are over (they failed
    // without an abort), so their records go when the next one begins.
    forgetBatchesLocked();
    IncomingBatch& batch = batches[header.batchId];
    batch = IncomingBatch{};
    batch.folder = std::move(folder);
    batch.total = header.total;
    batch.count = header.count;
    batch.seen.assign(header.count, false);
    batch.lastActivity = nowNanos();
    startWatchLocked();
}

bool FileReceiver::admitHeader(const FileBeginMsg& header) {
    std::string refusal;
    {
        std::lock_guard lock(mutex);
        refusal = admitLocked(header.batchId, header.index, header.count);
    }
    if (!refusal.empty()) {
        refuseFile(header.id, header.batchId, refusal);
        return false;
    }
    return true;
}

bool FileReceiver::splitHeaderPath(const FileBeginMsg& header, std::vector<std::wstring>& parts) {
    if (!splitReceivedPath(header.path, parts)) {
        refuseFile(header.id, header.batchId, "받을 수 없는 경로: " + header.path);
        return false;
    }
    return true;
}

bool FileReceiver::claimTopPath(const FileBeginMsg& header, const std::wstring& topName, std::wstring& topPath) {
    std::lock_guard lock(mutex);
    auto b = batches.find(header.batchId);
    if (b == batches.end()) return false;  // aborted meanwhile
    IncomingBatch& batch = b->second;
    auto top = batch.topNames.find(topName);
    if (top == batch.topNames.end()) {
        top = batch.topNames.emplace(topName, uniquePath(batch.folder, topName)).first;
    }
    topPath = joinPath(batch.folder, top->second);
    if (batch.firstPath.empty()) batch.firstPath = topPath;
    return true;
}

bool FileReceiver::makeParentFolders(const FileBeginMsg& header, const std::wstring& topPath,
                                     const std::vector<std::wstring>& parts) {
    if (parts.size() > 1) {
        std::wstring level = topPath;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            if (i > 0) level = joinPath(level, parts[i]);
            const uint32_t error = createDirectory(longPath(level));
            if (error != 0 && error != kErrAlreadyExists) {
                refuseFile(header.id, header.batchId, "폴더를 만들 수 없습니다 (" + winErrorText(error) + ")");
                return false;
            }
        }
    }
    return true;
}

bool FileReceiver::partPathFree(const FileBeginMsg& header, const std::wstring& partPath) {
    std::string refusal;
    {
        // Two open transfers never share a part file.
        std::lock_guard lock(mutex);
        for (const auto& [id, file] : files) {
            if (file.partPath == partPath) {
                refusal = invalidHeaderText();
                break;
            }
        }
    }
    if (!refusal.empty()) {
        refuseFile(header.id, header.batchId, refusal);
        return false;
    }
    return true;
}

std::shared_ptr<FileReceiver::PartFile> FileReceiver::createPartFile(const FileBeginMsg& header,
                                                                     const std::wstring& partPath) {
    // A leftover part file goes first, whatever it is, and the new one is made new: a link left
    // under the name is removed, never written through.
    deleteFile(longPath(partPath));
    if (partNameFreed) partNameFreed(partPath);
    auto part = std::make_shared<PartFile>();
    part->file = FileHandle::createNew(longPath(partPath), kAttrNormal);
    if (!part->file.valid()) {
        refuseFile(header.id, header.batchId, "저장할 수 없습니다 (" + winErrorText(part->file.openError()) + ")");
        return nullptr;
    }
    return part;
}

void FileReceiver::recordFile(const FileBeginMsg& header, std::shared_ptr<PartFile> part, const std::wstring& partPath,
                              std::wstring finalPath, std::wstring topPath) {
    std::unique_lock lock(mutex);
    if (closed_) {
        // Stopped while the file was being made: nobody would drop it later.
        lock.unlock();
        closePart(part);
        deleteFile(longPath(partPath));
        return;
    }
    IncomingFile& file = files[header.id];
    file.handle = std::move(part);
    file.partPath = partPath;
    file.finalPath = std::move(finalPath);
    file.topPath = std::move(topPath);
    file.written = 0;
    file.batchId = header.batchId;
    file.index = header.index;
    file.count = header.count;
    file.size = header.size;
}

void FileReceiver::onData(std::vector<uint8_t> const& payload) {
    if (payload.size() < 4) return;
    const uint32_t id = loadBe32(payload.data());
    const size_t length = payload.size() - 4;
    std::shared_ptr<PartFile> part;
    {
        std::lock_guard lock(mutex);
        auto it = files.find(id);
        if (it == files.end() || closed_) return;
        part = it->second.handle;
    }
    uint32_t error = 0;
    {
        std::lock_guard fileLock(part->mutex);
        if (!part->file.valid()) return;  // aborted by another thread meanwhile
        error = part->file.write(payload.data() + 4, length);
    }
    if (error != 0) {
        const std::string text = winErrorText(error);
        IncomingFile file;
        if (!takeFile(id, file)) return;
        closePart(file.handle);
        deleteFile(longPath(file.partPath));
        refuseFile(id, file.batchId, "저장하다 멈췄습니다 (" + text + ")");
        return;
    }
    std::string progress;
    uint64_t written = 0;
    {
        std::lock_guard lock(mutex);
        auto it = files.find(id);
        if (it == files.end()) return;
        IncomingFile& file = it->second;
        file.written += length;
        written = file.written;
        auto b = batches.find(file.batchId);
        if (b != batches.end()) {
            b->second.received += length;
            const int64_t now = nowNanos();
            b->second.lastActivity = now;
            if (now - lastProgress > std::chrono::nanoseconds(progressInterval).count()) {
                lastProgress = now;
                progress = formatProgress(file.index, file.count, b->second.received, b->second.total, "받는");
            }
        }
    }
    if (!progress.empty() && status) status(progress);
    if (send) send(kFileAck, FileAckMsg{id, written}.encode());
}

void FileReceiver::onEnd(std::vector<uint8_t> const& payload) {
    const uint32_t id = decodeTransferId(payload);
    IncomingFile file;
    if (!takeFile(id, file)) return;
    closePart(file.handle);
    {
        std::lock_guard lock(mutex);
        auto b = batches.find(file.batchId);
        if (b != batches.end()) b->second.lastActivity = nowNanos();
    }
    // A file that ends short of its announced size was cut off: it is not kept as received.
    if (file.written < file.size) {
        deleteFile(longPath(file.partPath));
        refuseFile(id, file.batchId, "저장하지 못했습니다 (" + winErrorText(kErrHandleEof) + ")");
        return;
    }
    std::wstring target = file.finalPath;
    if (pathExists(longPath(target))) {
        // Something took the name since the header.
        const std::wstring folder = folderPart(target);
        target = joinPath(folder, uniquePath(folder, fileNamePart(target)));
    }
    if (const uint32_t error = moveFile(longPath(file.partPath), longPath(target))) {
        const std::string text = winErrorText(error);
        deleteFile(longPath(file.partPath));
        refuseFile(id, file.batchId, "저장하지 못했습니다 (" + text + ")");
        return;
    }
    if (zoneMark) zoneMark(target);
    bool complete = false;
    IncomingBatch batch;
    {
        std::lock_guard lock(mutex);
        auto b = batches.find(file.batchId);
        if (b != batches.end()) {
            ++b->second.saved;
            b->second.savedBytes += file.written;
            // Not while another of its files is open: that one would lose its batch.
            if (uint64_t(file.index) + 1 >= file.count && !batchOpenLocked(file.batchId)) {
                complete = true;
                batch = std::move(b->second);
                batches.erase(b);
            }
        }
    }
    if (send) send(kFileSaved, idPayload(id, utf8FromWide(file.topPath)));
    if (!complete) return;
    if (status) status(std::string());
    if (batchReceived)
        batchReceived(batch.firstPath.empty() ? file.topPath : batch.firstPath, int(batch.saved), batch.received);
}

void FileReceiver::onAbort(std::vector<uint8_t> const& payload) {
    const IdTextMsg abort = IdTextMsg::decode(payload);
    std::string shown = abort.text;
    if (abort.id == 0) {
        if (!abortAll()) return;  // nothing under way: nothing to tell
    } else {
        bool open = false;
        uint32_t batchId = 0;
        {
            std::lock_guard lock(mutex);
            auto it = files.find(abort.id);
            if (it != files.end()) {
                open = true;
                batchId = it->second.batchId;
            } else if (abort.id == refusedId_) {
                // The sender stops the file this side refused: the refusal is what the user reads.
                if (refusedBatch_ != 0) forgetBatchLocked(refusedBatch_);
                shown = refusedText_;
                refusedId_ = 0;
            } else {
                return;  // no transfer of this side: not the peer's to announce
            }
        }
        if (open) {
            dropTransfer(abort.id);
            std::lock_guard lock(mutex);
            forgetBatchLocked(batchId);
        }
    }
    if (status) status(std::string());
    if (!shown.empty() && notify) notify(cappedPeerText(std::move(shown)));
}

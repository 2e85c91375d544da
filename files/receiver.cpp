#include "files/receiver.h"

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

}  // namespace

void writeZoneMark(const std::wstring& path) {
    static const char kMark[] = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=about:internet\r\n";
    FileHandle mark = FileHandle::createForWriting(longPath(path + L":Zone.Identifier"), 0);
    if (mark.valid()) mark.write(reinterpret_cast<const uint8_t*>(kMark), sizeof kMark - 1);
}

FileReceiver::~FileReceiver() { abortAll(); }

void FileReceiver::handle(uint8_t type, std::vector<uint8_t> const& payload) {
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

void FileReceiver::refuse(uint32_t id, const std::string& reason) {
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

void FileReceiver::abortAll() {
    std::vector<uint32_t> ids;
    {
        std::lock_guard lock(mutex);
        for (const auto& [id, file] : files) ids.push_back(id);
    }
    for (uint32_t id : ids) dropTransfer(id);
    std::lock_guard lock(mutex);
    batches.clear();
}

void FileReceiver::onBegin(std::vector<uint8_t> const& payload) {
    const FileBeginMsg header = FileBeginMsg::decode(payload);
    // A second header for a transfer still open: its first part file must not stay behind.
    dropTransfer(header.id);
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
        return;
    }
    if (!known) {
        if (!acceptNewBatch()) {
            refuse(header.id, "파일 받기가 꺼져 있습니다");
            return;
        }
        std::wstring folder = destination();
        if (folder.empty()) folder = fallbackFolder();
        std::lock_guard lock(mutex);
        // A sender runs one batch at a time: batches without an open file are over (they failed
        // without an abort), so their records go when the next one begins.
        for (auto it = batches.begin(); it != batches.end();) {
            bool idle = true;
            for (const auto& [id, file] : files) idle = idle && file.batchId != it->first;
            it = idle ? batches.erase(it) : std::next(it);
        }
        IncomingBatch& batch = batches[header.batchId];
        batch = IncomingBatch{};
        batch.folder = std::move(folder);
        batch.total = header.total;
    }

    std::vector<std::wstring> parts;
    if (!splitReceivedPath(header.path, parts)) {
        refuse(header.id, "받을 수 없는 경로: " + header.path);
        return;
    }
    std::wstring topPath;
    {
        std::lock_guard lock(mutex);
        auto b = batches.find(header.batchId);
        if (b == batches.end()) return;  // aborted meanwhile
        IncomingBatch& batch = b->second;
        auto top = batch.topNames.find(parts[0]);
        if (top == batch.topNames.end()) {
            top = batch.topNames.emplace(parts[0], uniquePath(batch.folder, parts[0])).first;
        }
        topPath = joinPath(batch.folder, top->second);
        if (batch.firstPath.empty()) batch.firstPath = topPath;
    }

    std::wstring finalPath = topPath;
    for (size_t i = 1; i < parts.size(); ++i) finalPath = joinPath(finalPath, parts[i]);
    if (parts.size() > 1) {
        std::wstring level = topPath;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            if (i > 0) level = joinPath(level, parts[i]);
            const uint32_t error = createDirectory(longPath(level));
            if (error != 0 && error != kErrAlreadyExists) {
                refuse(header.id, "폴더를 만들 수 없습니다 (" + winErrorText(error) + ")");
                return;
            }
        }
    }
    const std::wstring partPath =
        joinPath(folderPart(finalPath), L"." + fileNamePart(finalPath) + L".tavrel-part");
    auto part = std::make_shared<PartFile>();
    part->file = FileHandle::createForWriting(longPath(partPath), kAttrNormal);
    if (!part->file.valid()) {
        refuse(header.id, "저장할 수 없습니다 (" + winErrorText(part->file.openError()) + ")");
        return;
    }
    std::lock_guard lock(mutex);
    IncomingFile& file = files[header.id];
    file.handle = std::move(part);
    file.partPath = partPath;
    file.finalPath = std::move(finalPath);
    file.topPath = std::move(topPath);
    file.written = 0;
    file.batchId = header.batchId;
    file.index = header.index;
    file.count = header.count;
}

void FileReceiver::onData(std::vector<uint8_t> const& payload) {
    if (payload.size() < 4) return;
    const uint32_t id = loadBe32(payload.data());
    const size_t length = payload.size() - 4;
    std::shared_ptr<PartFile> part;
    {
        std::lock_guard lock(mutex);
        auto it = files.find(id);
        if (it == files.end()) return;
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
        dropTransfer(id);
        refuse(id, "저장하다 멈췄습니다 (" + text + ")");
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
    std::wstring target = file.finalPath;
    if (pathExists(longPath(target))) {
        // Something took the name since the header.
        const std::wstring folder = folderPart(target);
        target = joinPath(folder, uniquePath(folder, fileNamePart(target)));
    }
    if (const uint32_t error = moveFile(longPath(file.partPath), longPath(target))) {
        const std::string text = winErrorText(error);
        deleteFile(longPath(file.partPath));
        refuse(id, "저장하지 못했습니다 (" + text + ")");
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
            if (uint64_t(file.index) + 1 >= file.count) {
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
    if (abort.id == 0) {
        abortAll();
    } else {
        bool open = false;
        uint32_t batchId = 0;
        {
            std::lock_guard lock(mutex);
            auto it = files.find(abort.id);
            if (it != files.end()) {
                open = true;
                batchId = it->second.batchId;
            }
        }
        dropTransfer(abort.id);
        if (open) {
            std::lock_guard lock(mutex);
            batches.erase(batchId);
        }
    }
    if (status) status(std::string());
    if (!abort.text.empty() && notify) notify(abort.text);
}

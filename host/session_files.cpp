// The host session's file messages: the incoming files and the replies to the files it sends,
// the viewer's file requests (paste, folder listing, send, upload folder) and the upload folder.
#include "host/session.h"

#include <utility>

#include "files/expand.h"
#include "files/transfer_messages.h"

namespace {

const char* const kUploadFolderRefused = "그 폴더에는 저장할 수 없어 다운로드 폴더에 둡니다";

}  // namespace

// ---- Files ----

// The files coming in, and what the viewer says of the files going out.
void HostSession::handleTransfer(MsgType type, const std::vector<unsigned char>& payload) {
    switch (type) {
    case MsgType::FileBegin:
    case MsgType::FileData:
    case MsgType::FileEnd:
    case MsgType::FileAbort:
        // The switch is read for every file message, not only by the status loop's next pass:
        // nothing that comes after it was turned off is written.
        if (type != MsgType::FileAbort) stopTransfersIfSwitchedOff();
        receiver_.handle(uint8_t(type), payload);
        break;
    case MsgType::FileAck:
        sender_.onAck(payload);
        break;
    case MsgType::FileSaved:
        sender_.onSaved(payload);
        break;
    case MsgType::FileRefused:
        sender_.onRefused(payload);
        break;
    default:
        break;
    }
}

void HostSession::handleFiles(MsgType type, const std::vector<unsigned char>& payload) {
    const bool on = store_.get().fileTransfer;
    auto refuse = [this](const char* text) { sendMessage(MsgType::FileRefused, idPayload(0, std::string(text))); };
    switch (type) {
    case MsgType::PasteFiles: {
        if (!on) return refuse(kFileTransferOff);
        std::vector<std::wstring> files = system_->clipboardFiles();
        if (files.empty()) return refuse(kNoCopiedFiles);
        std::unique_lock<std::mutex> lock(filesMutex_);
        if (stop_->load() || sender_.enqueue(std::move(files))) break;
        lock.unlock();
        return refuse(kSenderBusy);
    }
    case MsgType::ListFolder: {
        const std::string path = decodeText(MsgType::ListFolder, payload);
        if (!on || !system_->listsFolders()) {
            sendMessage(MsgType::FolderListing, encodeFolderListingRefusal(path));
            break;
        }
        const std::shared_ptr<SecureChannel> ch = channel();
        const std::shared_ptr<SessionSystem> system = system_;
        post(folderWorker_, [ch, system, path] {
            ch->send(uint8_t(MsgType::FolderListing), asBytes(system->listFolder(path)));
        });
        break;
    }
    case MsgType::SendFiles: {
        Json paths;
        if (!on || !decodeSendFiles(payload, paths)) return refuse(kFileTransferOff);
        std::vector<std::wstring> existing = existingPaths(paths);
        if (existing.empty()) return refuse(kNoFilesFound);
        std::unique_lock<std::mutex> lock(filesMutex_);
        if (stop_->load()) break;
        const size_t count = existing.size();
        if (!sender_.enqueue(std::move(existing))) {
            lock.unlock();
            return refuse(kSenderBusy);
        }
        logLine("파일 보내기 요청 (" + peerName() + "): " + std::to_string(count) + "개");
        break;
    }
    case MsgType::SetDownloadFolder: {
        // With file transfer off no batch is taken, so there is nothing to probe or arm.
        if (!on) break;
        const std::string folder = decodeText(MsgType::SetDownloadFolder, payload);
        std::wstring wide;
        if (!system_->folderWritable(folder, wide)) {
            notice(kUploadFolderRefused);
            break;
        }
        std::lock_guard<std::mutex> lock(uploadMutex_);
        uploadFolder_ = wide;
        uploadExpiry_ = nowNanos() + timing_.uploadFolderNs;
        break;
    }
    default:
        break;
    }
}

bool HostSession::stopTransfersIfSwitchedOff() {
    if (store_.get().fileTransfer) return false;
    const bool sending = sender_.cancel(kFileTransferOff);
    const bool receiving = receiver_.refuseAll("파일 받기가 꺼져 있습니다");
    if (sending || receiving) logLine("파일 주고받기가 꺼져 진행 중이던 파일 전송을 멈춤 (" + peerName() + ")");
    return true;
}

std::wstring HostSession::takeUploadFolder() {
    std::lock_guard<std::mutex> lock(uploadMutex_);
    std::wstring folder;
    if (!uploadFolder_.empty() && nowNanos() <= uploadExpiry_) folder = uploadFolder_;
    uploadFolder_.clear();
    return folder;  // empty: the receiver's default folder
}

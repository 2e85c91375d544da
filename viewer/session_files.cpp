// ClientSession's file hooks: what FileSender and FileReceiver send and report goes through the
// session, and the host's refusals and the receive permit decide which batches come in.
#include "viewer/session.h"

#include "files/fileio.h"
#include "files/status.h"
#include "files/transfer_messages.h"

std::string formatReceivedBatch(const std::wstring& path, int files, unsigned long long bytes) {
    // Saved paths are Windows paths; the native build's use '/'.
    const size_t cut = path.find_last_of(L"\\/");
    const std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
    const std::wstring folder = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
    std::string label = utf8FromWide(name);
    if (files != 1) label += " 등 파일 " + std::to_string(files) + "개";
    return "받음: " + label + " (" + formatSize(bytes) + ") → " + utf8FromWide(folder);
}

void ClientSession::setUpFiles(std::string const& hostName) {
    filesOut.send = [this](unsigned char type, std::vector<unsigned char> const& payload) { sendBulk(type, payload); };
    filesOut.peerName = hostName;
    filesOut.status = [this](std::string const& text) {
        if (onTransferStatus) onTransferStatus(text);
    };
    filesOut.notify = [this](std::string const& text) {
        if (onTransferResult) onTransferResult(text, std::wstring());
    };
    filesIn.send = [this](uint8_t type, std::vector<uint8_t> const& payload) { send(type, payload); };
    filesIn.acceptNewBatch = [this] { return takeReceivePermit(); };
    filesIn.status = [this](std::string const& text) {
        if (onTransferStatus) onTransferStatus(text);
    };
    filesIn.notify = [this](std::string const& text) {
        if (onTransferResult) onTransferResult(text, std::wstring());
    };
    filesIn.batchReceived = [this](std::wstring const& path, int files, unsigned long long total) {
        const std::string text = formatReceivedBatch(path, files, total);
        if (onTransferResult) onTransferResult(text, path);
    };
}

bool ClientSession::takeReceivePermit() {
    std::lock_guard lock(permitMutex);
    const bool ok = receivePermitUntil != 0 && now() < receivePermitUntil;
    if (ok) receivePermitUntil = 0;
    return ok;
}

void ClientSession::handleFileRefused(const Bytes& payload) {
    const uint32_t id = decodeTransferId(payload);  // "짧은 메시지" under 4 bytes
    if (id != 0) {
        filesOut.onRefused(payload);
        return;
    }
    // The host cannot serve a request of ours: the permit it armed is void.
    {
        std::lock_guard lock(permitMutex);
        receivePermitUntil = 0;
    }
    if (onTransferResult) onTransferResult(cappedPeerText(asText(ByteSpan(payload).subspan(4))), std::wstring());
}

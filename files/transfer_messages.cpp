#include "files/transfer_messages.h"

#include "core/wire.h"

const char* const kFileTransferOff = "원격 PC 에서 파일 주고받기가 꺼져 있습니다";
const char* const kNoCopiedFiles =
    "원격 PC 에 복사해 둔 파일이 없습니다. 원격 탐색기에서 파일을 고르고 Ctrl+C 를 누른 뒤 다시 받으세요.";
const char* const kNoFilesFound = "보낼 파일을 찾을 수 없습니다";
const char* const kSenderBusy = "원격 PC 가 앞서 요청한 파일을 아직 보내는 중입니다. 끝난 뒤 다시 요청하세요.";

std::string cappedPeerText(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    size_t cut = maxBytes;
    // Back over continuation bytes to the start of the sequence that would be split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut));
}

Bytes idPayload(uint32_t id, ByteSpan bytes) {
    Bytes out;
    out.reserve(4 + bytes.size());
    ByteWriter w(out);
    w.u32(id);
    w.bytes(bytes.data(), bytes.size());
    return out;
}

Bytes idPayload(uint32_t id, const std::string& text) { return idPayload(id, asBytes(text)); }

Bytes FileBeginMsg::encode() const {
    Bytes out;
    out.reserve(32 + path.size());
    ByteWriter w(out);
    w.u32(id);
    w.u32(batchId);
    w.u32(index);
    w.u32(count);
    w.u64(size);
    w.u64(total);
    w.bytes(path);
    return out;
}

FileBeginMsg FileBeginMsg::decode(ByteSpan payload) {
    ByteReader r(payload.data(), payload.size());
    FileBeginMsg m;
    m.id = r.u32();
    m.batchId = r.u32();
    m.index = r.u32();
    m.count = r.u32();
    m.size = r.u64();
    m.total = r.u64();
    m.path = r.restString();
    return m;
}

Bytes FileAckMsg::encode() const {
    Bytes out;
    ByteWriter w(out);
    w.u32(id);
    w.u64(written);
    return out;
}

FileAckMsg FileAckMsg::decode(ByteSpan payload) {
    ByteReader r(payload.data(), payload.size());
    FileAckMsg m;
    m.id = r.u32();
    m.written = r.u64();
    return m;
}

IdTextMsg IdTextMsg::decode(ByteSpan payload) {
    ByteReader r(payload.data(), payload.size());
    IdTextMsg m;
    m.id = r.u32();
    m.text = r.restString();
    return m;
}

uint32_t decodeTransferId(ByteSpan payload) {
    ByteReader r(payload.data(), payload.size());
    return r.u32();
}

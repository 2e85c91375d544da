#include "host/messages.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/wire.h"

namespace {

ByteReader reader(ByteSpan payload) { return ByteReader(payload.data(), payload.size()); }

float finiteOrZero(float v) { return std::isfinite(v) ? v : 0.0f; }

}  // namespace

// ---- Mouse ----

Bytes MouseEvent::encode() const {
    Bytes out;
    out.reserve(19);
    ByteWriter w(out);
    w.u8(action);
    w.u8(button);
    w.f32(x);
    w.f32(y);
    w.u8(clicks);
    w.u64(flags);
    return out;
}

MouseEvent MouseEvent::decode(ByteSpan payload) {
    ByteReader r = reader(payload);
    MouseEvent e;
    e.action = r.u8();
    e.button = r.u8();
    e.x = finiteOrZero(r.f32());
    e.y = finiteOrZero(r.f32());
    e.clicks = r.u8();
    e.flags = r.u64();
    return e;
}

// ---- Wheel ----

Bytes WheelEvent::encode() const {
    Bytes out;
    out.reserve(19);
    ByteWriter w(out);
    w.f32(dx);
    w.f32(dy);
    w.u8(precise ? 1 : 0);
    w.u8(0);
    w.u8(0);
    w.u64(flags);
    return out;
}

WheelEvent WheelEvent::decode(ByteSpan payload) {
    ByteReader r = reader(payload);
    WheelEvent e;
    e.dx = finiteOrZero(r.f32());
    e.dy = finiteOrZero(r.f32());
    e.precise = r.u8() != 0;
    r.u8();
    r.u8();
    e.flags = r.u64();
    return e;
}

// ---- Key ----

Bytes encodeKeyEvent(uint16_t code, uint8_t kind, uint64_t flags, bool repeat) {
    Bytes out;
    out.reserve(12);
    ByteWriter w(out);
    w.u16(code);
    w.u8(kind);
    w.u64(flags);
    w.u8(repeat ? 1 : 0);
    return out;
}

// ---- KeyCombo ----

Bytes encodeKeyCombo(const std::vector<uint16_t>& codes) {
    size_t n = std::min<size_t>(codes.size(), 255);
    Bytes out;
    out.reserve(1 + 2 * n);
    ByteWriter w(out);
    w.u8(uint8_t(n));
    for (size_t i = 0; i < n; ++i) w.u16(codes[i]);
    return out;
}

std::vector<uint16_t> decodeKeyCombo(ByteSpan payload) {
    ByteReader r = reader(payload);
    size_t n = std::min<size_t>(r.u8(), kComboLimit);
    std::vector<uint16_t> codes;
    codes.reserve(n);
    for (size_t i = 0; i < n; ++i) codes.push_back(r.u16());
    return codes;
}

// ---- Single-byte and single-u32 payloads ----

Bytes encodeSwitch(bool on) { return Bytes{uint8_t(on ? 1 : 0)}; }
bool decodeSwitch(ByteSpan payload) { return reader(payload).u8() != 0; }

Bytes encodeU8(uint8_t value) { return Bytes{value}; }
uint8_t decodeU8(ByteSpan payload) { return reader(payload).u8(); }

Bytes encodeQuality(int level) { return Bytes{uint8_t(std::clamp(level, 0, 2))}; }
int decodeQuality(ByteSpan payload) { return std::min<int>(reader(payload).u8(), 2); }

Bytes encodeU32(uint32_t value) {
    Bytes out;
    ByteWriter(out).u32(value);
    return out;
}
uint32_t decodeU32(ByteSpan payload) { return reader(payload).u32(); }

Bytes ViewSizeMsg::encode() const {
    Bytes out;
    ByteWriter w(out);
    w.u32(width);
    w.u32(height);
    return out;
}

ViewSizeMsg ViewSizeMsg::decode(ByteSpan payload) {
    ByteReader r = reader(payload);
    ViewSizeMsg m;
    m.width = r.u32();
    m.height = r.u32();
    return m;
}

// ---- Ping and Pong ----

Bytes encodePing(uint64_t nanos) {
    Bytes out;
    ByteWriter(out).u64(nanos);
    return out;
}

uint64_t decodePong(ByteSpan payload) { return reader(payload).u64(); }

// ---- VideoFrame ----

Bytes encodeVideoFrame(uint32_t frameNumber, bool keyFrame, ByteSpan accessUnit) {
    Bytes out;
    out.reserve(5 + accessUnit.size());
    ByteWriter w(out);
    w.u32(frameNumber);
    w.u8(keyFrame ? 1 : 0);
    w.bytes(accessUnit.data(), accessUnit.size());
    return out;
}

VideoFrameMsg VideoFrameMsg::decode(ByteSpan payload) {
    ByteReader r = reader(payload);
    VideoFrameMsg m;
    m.frameNumber = r.u32();
    m.keyFrame = r.u8() != 0;
    m.accessUnit = payload.subspan(r.pos());
    return m;
}

// ---- Text ----

Bytes encodeText(const std::string& text) { return Bytes(text.begin(), text.end()); }

size_t textLimit(MsgType type) {
    switch (type) {
    case MsgType::TypeText: return kTypeTextLimit;
    case MsgType::LockLogin: return kLockLoginLimit;
    case MsgType::Chat: return kChatLimit;
    case MsgType::ListFolder:
    case MsgType::SetDownloadFolder: return kFolderPathLimit;
    case MsgType::LaunchProgram: return kProgramIdLimit;
    default: return SIZE_MAX;
    }
}

std::string decodeText(MsgType type, ByteSpan payload) {
    size_t n = std::min(payload.size(), textLimit(type));
    return std::string(reinterpret_cast<const char*>(payload.data()), n);
}

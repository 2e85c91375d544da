#include "host/protocol/messages.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "core/wire.h"
#include "host/clipboard.h"
#include "media/cursor.h"
#include "media/stream.h"

namespace {

ByteReader reader(ByteSpan payload) { return ByteReader(payload.data(), payload.size()); }

// A Json number as an int in [lo, hi]; anything else, a non-finite number included, is `fallback`.
int jsonInt(const Json& v, int lo, int hi, int fallback) {
    if (!v.isNumber() || !std::isfinite(v.number)) return fallback;
    return int(checkedTrunc(v.number, lo, hi, fallback));
}

std::vector<std::string> jsonTexts(const Json& v) {
    std::vector<std::string> out;
    if (!v.isArray()) return out;
    for (const Json& item : v.items)
        if (item.isString()) out.push_back(item.text);
    return out;
}

Json textArray(const std::vector<std::string>& texts) {
    Json a;
    a.tag = Json::kArray;
    for (const std::string& t : texts) a.push(Json(t));
    return a;
}

// Same digits as printf's "%.4f" in the C locale, whatever locale the process runs in.
void appendFixed4(std::string& out, double v) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    out.append(buf, r.ptr);
}

// One member of a Json object payload (null when missing); false when the payload does not parse.
bool decodeMember(ByteSpan payload, std::string_view key, Json& member) {
    member = Json();
    Json j;
    if (!decodeJson(payload, j)) return false;
    member = j.get(key);
    return true;
}

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
    e.x = r.f32();
    e.y = r.f32();
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
    e.dx = r.f32();
    e.dy = r.f32();
    e.precise = r.u8() != 0;
    r.u8();
    r.u8();
    e.flags = r.u64();
    return e;
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

// ---- Payload limits ----

namespace {

// A KeyCombo's count byte can announce 255 codes.
constexpr size_t kKeyComboPayloadLimit = 1 + 2 * 255;
// The largest picture a viewer decodes (35,651,584 pixels, 139,264 macroblocks) coded at H.264's
// minimum compression ratio of 2 for its levels (384 bytes a macroblock / 2) is 26.7 MB.
constexpr size_t kVideoFramePayloadLimit = 5 + (size_t(32) << 20);
// One AAC-LC frame holds at most 6144 bits a channel: eight channels fit.
constexpr size_t kAudioFramePayloadLimit = 8192;
// The 16-byte hot spot and size, then a PNG of the largest shape a viewer decodes stored without
// compression, with room for the PNG's own framing.
constexpr size_t kCursorPayloadLimit = 16 + 4 * kMaxCursorPixels + 65536;
// The kind byte and the largest picture (or text) a clipboard sends.
constexpr size_t kClipboardPayloadLimit = 1 + std::max(kClipboardImageLimit, kClipboardTextLimit);

std::vector<PayloadLimit> limitRows() {
    using T = MsgType;
    constexpr MsgEnd H = MsgEnd::Host, V = MsgEnd::Viewer, B = MsgEnd::Both;
    constexpr size_t fixed = kFixedPayloadLimit, control = kControlPayloadLimit;
    constexpr size_t listing = kListingPayloadLimit, transferText = kTransferTextPayloadLimit;
    return {
        {T::SessionRequest, H, control, false},
        {T::DisplayInfo, V, kDisplayInfoPayloadLimit, false},
        {T::StreamHeader, V, kMaxStreamHeaderBytes, false},
        {T::VideoFrame, V, kVideoFramePayloadLimit, false},
        {T::FrameAck, H, fixed, false},
        {T::KeyFrameRequest, H, fixed, false},
        {T::AudioFormat, V, control, false},
        {T::AudioFrame, V, kAudioFramePayloadLimit, false},
        {T::AudioSwitch, H, fixed, false},
        {T::Mouse, H, fixed, false},
        {T::Wheel, H, fixed, false},
        {T::Key, H, fixed, false},
        {T::ReleaseAll, H, fixed, false},
        {T::KeyCombo, H, kKeyComboPayloadLimit, false},
        {T::TypeText, H, kTypeTextLimit, true},
        {T::LockLogin, H, kLockLoginLimit, true},
        {T::Clipboard, B, kClipboardPayloadLimit, false},
        {T::Cursor, V, kCursorPayloadLimit, false},
        {T::Ping, H, fixed, false},
        {T::Pong, V, fixed, false},
        {T::SelectDisplay, H, fixed, false},
        {T::ViewSize, H, fixed, false},
        {T::ShortcutMode, H, fixed, false},
        {T::Quality, H, fixed, false},
        {T::CurtainSwitch, H, fixed, false},
        {T::Power, H, fixed, false},
        {T::WakeRequest, H, control, false},
        {T::Chat, B, kChatLimit, true},
        {T::Notice, V, control, false},
        {T::Status, V, fixed, false},
        {T::Caret, V, control, false},
        {T::FileBegin, B, transferText, false},
        {T::FileData, B, 4 + kChunkBytes, false},
        {T::FileEnd, B, fixed, false},
        {T::FileAbort, B, transferText, false},
        {T::FileAck, B, fixed, false},
        {T::FileSaved, B, transferText, false},
        {T::FileRefused, B, transferText, false},
        {T::PasteFiles, H, fixed, false},
        {T::ListFolder, H, kFolderPathLimit, true},
        {T::FolderListing, V, listing, false},
        {T::SendFiles, H, listing, false},
        {T::SetDownloadFolder, H, kFolderPathLimit, true},
        {T::ListApps, H, fixed, false},
        {T::AppList, V, listing, false},
        {T::LaunchProgram, H, kProgramIdLimit, true},
        {T::FocusWindow, H, fixed, false},
    };
}

}  // namespace

const std::vector<PayloadLimit>& payloadLimits() {
    static const std::vector<PayloadLimit> rows = limitRows();
    return rows;
}

const PayloadLimit* payloadLimitOf(uint8_t type) {
    static const std::array<const PayloadLimit*, 256> byType = [] {
        std::array<const PayloadLimit*, 256> index{};
        for (const PayloadLimit& row : payloadLimits()) index[uint8_t(row.type)] = &row;
        return index;
    }();
    return byType[type];
}

size_t maxPayload(MsgType type) {
    const PayloadLimit* row = payloadLimitOf(uint8_t(type));
    return row ? row->maxBytes : SIZE_MAX;
}

bool PayloadGate::admit(uint8_t type, size_t size) {
    const PayloadLimit* row = payloadLimitOf(type);
    const bool taken = row && (uint8_t(row->receiver) & uint8_t(self_)) != 0;
    if (!taken || size <= row->maxBytes || row->keepsPrefix) {
        dropping_.store(false);
        return true;
    }
    if (!dropping_.exchange(true))
        logLine("너무 큰 메시지를 버림 (종류 " + std::to_string(type) + ", " + std::to_string(size) + "바이트)");
    return false;
}

// ---- Text ----

Bytes encodeText(const std::string& text) { return Bytes(text.begin(), text.end()); }

size_t textLimit(MsgType type) {
    const PayloadLimit* row = payloadLimitOf(uint8_t(type));
    return row && row->keepsPrefix ? row->maxBytes : SIZE_MAX;
}

std::string decodeText(MsgType type, ByteSpan payload) {
    size_t n = std::min(payload.size(), textLimit(type));
    return std::string(reinterpret_cast<const char*>(payload.data()), n);
}

// ---- Json ----

Bytes encodeJson(const Json& value) { return encodeText(value.dump()); }

bool decodeJson(ByteSpan payload, Json& out) {
    out = Json();
    return Json::parse(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()), out);
}

// ---- SessionRequest ----

Json SessionRequest::toJson() const {
    Json j;
    j.set("retina", Json(retina));
    j.set("fps", Json(fps));
    j.set("display", Json(display));
    j.set("viewW", Json(viewW));
    j.set("viewH", Json(viewH));
    j.set("os", Json(os));
    j.set("codecs", textArray(codecs));
    j.set("keymap", Json(keymap));
    j.set("quality", Json(quality));
    j.set("audio", Json(audio));
    if (!purpose.empty()) j.set("purpose", Json(purpose));
    return j;
}

SessionRequest SessionRequest::fromJson(const Json& request) {
    SessionRequest r;
    r.retina = request.get("retina").asBool(true);
    r.fps = jsonInt(request.get("fps"), 5, 60, 60);
    r.display = jsonInt(request.get("display"), 0, INT_MAX, 0);
    r.viewW = jsonInt(request.get("viewW"), 0, INT_MAX, 0);
    r.viewH = jsonInt(request.get("viewH"), 0, INT_MAX, 0);
    r.os = request.get("os").asString();
    r.codecs = jsonTexts(request.get("codecs"));
    r.keymap = request.get("keymap").asBool(false);
    r.quality = jsonInt(request.get("quality"), 0, 2, 0);
    r.audio = request.get("audio").asBool(false);
    r.purpose = request.get("purpose").asString();
    return r;
}

int clampDisplayIndex(int index, int count) { return std::max(0, std::min(index, count - 1)); }

// ---- DisplayInfo ----

std::vector<std::string> hostFeatures(bool lockHelperInstalled) {
    std::vector<std::string> f{"files", "combo", "text",    "apps", "focus", "audio",
                               "quality", "curtain", "power", "wake", "chat",  "browse"};
    if (lockHelperInstalled) f.push_back("unlock");
    return f;
}

Json DisplayInfo::toJson() const {
    Json j;
    j.set("name", Json(name));
    Json list;
    list.tag = Json::kArray;
    for (const DisplayEntry& d : displays) {
        Json e;
        e.set("index", Json(d.index));
        e.set("widthPt", Json(d.widthPt));
        e.set("heightPt", Json(d.heightPt));
        e.set("widthPx", Json(d.widthPx));
        e.set("heightPx", Json(d.heightPx));
        e.set("main", Json(d.main));
        list.push(std::move(e));
    }
    j.set("displays", std::move(list));
    j.set("current", Json(current));
    j.set("width", Json(width));
    j.set("height", Json(height));
    j.set("os", Json(os));
    j.set("features", textArray(features));
    if (wake.isArray()) {
        j.set("wake", wake);
    } else {
        Json empty;
        empty.tag = Json::kArray;
        j.set("wake", std::move(empty));
    }
    if (window.isObject()) j.set("window", window);
    return j;
}

DisplayInfo DisplayInfo::fromJson(const Json& info) {
    DisplayInfo d;
    d.name = info.get("name").asString();
    const Json& list = info.get("displays");
    if (list.isArray()) {
        for (const Json& e : list.items) {
            DisplayEntry de;
            de.index = jsonInt(e.get("index"), INT_MIN, INT_MAX, 0);
            de.widthPt = jsonInt(e.get("widthPt"), 0, INT_MAX, 0);
            de.heightPt = jsonInt(e.get("heightPt"), 0, INT_MAX, 0);
            de.widthPx = jsonInt(e.get("widthPx"), 0, INT_MAX, 0);
            de.heightPx = jsonInt(e.get("heightPx"), 0, INT_MAX, 0);
            de.main = e.get("main").asBool(false);
            d.displays.push_back(de);
        }
    }
    d.current = jsonInt(info.get("current"), INT_MIN, INT_MAX, 0);
    d.width = jsonInt(info.get("width"), 0, INT_MAX, 0);
    d.height = jsonInt(info.get("height"), 0, INT_MAX, 0);
    d.os = info.get("os").asString();
    d.features = jsonTexts(info.get("features"));
    const Json& wake = info.get("wake");
    if (wake.isArray()) d.wake = wake;
    else d.wake.tag = Json::kArray;
    const Json& window = info.get("window");
    if (window.isObject()) d.window = window;
    return d;
}

// ---- Status ----

Bytes encodeStatus(bool locked, bool curtain) {
    std::string t = "{\"locked\":";
    t += locked ? "true" : "false";
    t += ",\"curtain\":";
    t += curtain ? "true" : "false";
    t += "}";
    return encodeText(t);
}

bool StatusMsg::decode(ByteSpan payload, StatusMsg& out) {
    out = StatusMsg();
    Json j;
    if (!decodeJson(payload, j)) return false;
    if (j.has("locked")) out.locked = j.get("locked").asBool(false);
    if (j.has("curtain")) out.curtain = j.get("curtain").asBool(false);
    return true;
}

// ---- Caret ----

std::string CaretMsg::text() const {
    if (!edit) return "{\"edit\":false}";
    bool finite = std::isfinite(x) && std::isfinite(y) && std::isfinite(w) && std::isfinite(h);
    if (!hasRect || !finite) return "{\"edit\":true}";
    std::string t = "{\"edit\":true,\"x\":";
    appendFixed4(t, x);
    t += ",\"y\":";
    appendFixed4(t, y);
    t += ",\"w\":";
    appendFixed4(t, w);
    t += ",\"h\":";
    appendFixed4(t, h);
    t += "}";
    return t;
}

bool CaretMsg::decode(ByteSpan payload, CaretMsg& out) {
    out = CaretMsg();
    Json j;
    if (!decodeJson(payload, j)) return false;
    out.edit = j.get("edit").asBool(false);
    const Json &x = j.get("x"), &y = j.get("y"), &w = j.get("w"), &h = j.get("h");
    if (out.edit && x.isNumber() && y.isNumber() && w.isNumber() && h.isNumber()) {
        out.hasRect = true;
        out.x = x.number;
        out.y = y.number;
        out.w = w.number;
        out.h = h.number;
    }
    return true;
}

// ---- WakeRequest and SendFiles ----

Bytes encodeWakeRequest(const Json& targets) {
    Json j;
    j.set("targets", targets);
    return encodeJson(j);
}

bool decodeWakeRequest(ByteSpan payload, Json& targets) { return decodeMember(payload, "targets", targets); }

Bytes encodeSendFiles(const std::vector<std::string>& paths) {
    Json j;
    j.set("paths", textArray(paths));
    return encodeJson(j);
}

bool decodeSendFiles(ByteSpan payload, Json& paths) { return decodeMember(payload, "paths", paths); }

// ---- FolderListing refusal ----

Bytes encodeFolderListingRefusal(const std::string& path) {
    Json j;
    j.set("path", Json(path));
    Json entries;
    entries.tag = Json::kArray;
    j.set("entries", std::move(entries));
    j.set("error", Json(kFileTransferOff));
    return encodeJson(j);
}

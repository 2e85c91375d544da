// Session messages between viewer and host: the type byte and the payload layouts.
// The viewer and the host encode and decode with these same functions. Fixed fields are big-endian;
// a payload that ends before a fixed field throws ProtoError "짧은 메시지"; bytes after the last
// field are ignored.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/util.h"
#include "files/transfer_messages.h"

enum class MsgType : uint8_t {
    SessionRequest = 1,      // V→H Json, first message after the handshake
    DisplayInfo = 2,         // H→V Json
    StreamHeader = 16,       // H→V, layout in the stream format component
    VideoFrame = 17,         // H→V u32 frame number, u8 key flag, access unit
    FrameAck = 18,           // V→H u32 frame number
    KeyFrameRequest = 19,    // V→H empty
    AudioFormat = 20,        // H→V Json of the AAC stream
    AudioFrame = 21,         // H→V one AAC frame
    AudioSwitch = 22,        // V→H u8 switch
    Mouse = 32,              // V→H 19 bytes
    Wheel = 33,              // V→H 19 bytes
    Key = 34,                // V→H 12 bytes
    ReleaseAll = 35,         // V→H empty
    KeyCombo = 36,           // V→H u8 n, n × u16
    TypeText = 37,           // V→H text
    LockLogin = 38,          // V→H text
    Clipboard = 48,          // both, clipboard content
    Cursor = 49,             // H→V cursor shape
    Ping = 64,               // V→H u64 clock
    Pong = 65,               // H→V the ping's bytes
    SelectDisplay = 80,      // V→H u8 index
    ViewSize = 82,           // V→H u32 width, u32 height
    ShortcutMode = 83,       // V→H u8 switch
    Quality = 84,            // V→H u8 level
    CurtainSwitch = 85,      // V→H u8 switch
    Power = 86,              // V→H u8 action
    WakeRequest = 87,        // V→H Json {"targets": [...]}
    Chat = 88,               // both, text
    Notice = 96,             // H→V text
    Status = 97,             // H→V Json {"locked":..,"curtain":..}
    Caret = 98,              // H→V Json
    FileBegin = 112,         // file transfer, both directions
    FileData = 113,
    FileEnd = 114,
    FileAbort = 115,
    FileAck = 116,
    FileSaved = 117,
    FileRefused = 118,
    PasteFiles = 119,        // V→H empty
    ListFolder = 120,        // V→H text
    FolderListing = 121,     // H→V Json
    SendFiles = 122,         // V→H Json {"paths": [...]}
    SetDownloadFolder = 123, // V→H text
    ListApps = 128,          // V→H empty
    AppList = 129,           // H→V Json
    LaunchProgram = 130,     // V→H text
    FocusWindow = 131,       // V→H u32 window handle
};

// The file-transfer component defines its own type bytes; both lists must agree.
static_assert(uint8_t(MsgType::FileBegin) == kFileBegin && uint8_t(MsgType::FileData) == kFileData &&
              uint8_t(MsgType::FileEnd) == kFileEnd && uint8_t(MsgType::FileAbort) == kFileAbort &&
              uint8_t(MsgType::FileAck) == kFileAck && uint8_t(MsgType::FileSaved) == kFileSaved &&
              uint8_t(MsgType::FileRefused) == kFileRefused);
static_assert(uint8_t(MsgType::PasteFiles) == kPasteFiles && uint8_t(MsgType::ListFolder) == kListFolder &&
              uint8_t(MsgType::FolderListing) == kFolderListing && uint8_t(MsgType::SendFiles) == kSendFiles &&
              uint8_t(MsgType::SetDownloadFolder) == kSetDownloadFolder);

// ---- Byte limits the host applies to text payloads (cut on bytes, not characters) ----
constexpr size_t kTypeTextLimit = 4096;
constexpr size_t kLockLoginLimit = 256;
constexpr size_t kChatLimit = 8000;
constexpr size_t kFolderPathLimit = 4096;   // ListFolder and SetDownloadFolder
constexpr size_t kProgramIdLimit = 2048;    // LaunchProgram
constexpr size_t kComboLimit = 8;           // key codes the host uses from one KeyCombo, and presses

// ---- The largest payload of each type the receiving end takes ----
// Checked before anything decodes a payload: without it every type could be as large as the
// channel's frame, and what a decoder builds from it (Json values above all) many times more.
enum class MsgEnd : uint8_t { Host = 1, Viewer = 2, Both = 3 };

struct PayloadLimit {
    MsgType type;
    MsgEnd receiver;       // the end (or ends) that take this type
    size_t maxBytes;
    bool keepsPrefix;      // a longer payload is taken as its first maxBytes bytes, not dropped
};

// Fixed fields only, with room for fields a later version may append (ignored here).
constexpr size_t kFixedPayloadLimit = 256;
// Json and texts of the control messages: tens of bytes as sent, a few KiB with long names.
constexpr size_t kControlPayloadLimit = 16384;
// DisplayInfo: the host's name, its displays, wake targets and the streamed window's entry.
constexpr size_t kDisplayInfoPayloadLimit = 65536;
// FolderListing, AppList, and SendFiles naming every row of a listing: 3000 entries whose names
// are 255 UTF-16 units, each written as a six-byte escape, stay below it.
constexpr size_t kListingPayloadLimit = size_t(5) << 20;
// FileBegin and the texts a file transfer answers with: the longest path Windows can name
// (32,767 UTF-16 units, at most 98,301 UTF-8 bytes) after the fixed fields, with the words of a
// refusal around it.
constexpr size_t kTransferTextPayloadLimit = 102400;

// Every type, in type order.
const std::vector<PayloadLimit>& payloadLimits();
// The row of a type byte; null for a byte that names no type.
const PayloadLimit* payloadLimitOf(uint8_t type);
// The largest payload of a type (its prefix for a text the receiver cuts).
size_t maxPayload(MsgType type);

// One receiving end's check of each payload, before it is decoded. A payload over its type's limit
// is dropped, and the first drop of each run of drops (until a message is taken again) is logged
// with its type and size; a text type that keeps a prefix passes, as its decoder cuts it. Types
// this end does not take, and bytes that name no type, pass: the dispatcher ignores them.
class PayloadGate {
public:
    explicit PayloadGate(MsgEnd self) : self_(self) {}
    // False when the message is to be dropped.
    bool admit(uint8_t type, size_t size);

private:
    MsgEnd self_;
    std::atomic<bool> dropping_{false};
};

// ---- Mouse (32): u8 action, u8 button, f32 x, f32 y, u8 clicks, u64 flags ----
struct MouseEvent {
    uint8_t action = 0;   // 0 move, 1 button down, 2 button up
    uint8_t button = 0;   // 0 left, 1 right, 2 middle, 3 and 4 the extra buttons
    float x = 0;          // fraction of the streamed area, 0 left edge .. 1 right edge
    float y = 0;
    uint8_t clicks = 0;
    uint64_t flags = 0;   // modifier flag word
    Bytes encode() const;
    // Values as sent, a coordinate that is not finite included: the injector decides what it
    // means (a release then happens at the last position).
    static MouseEvent decode(ByteSpan payload);
};

// ---- Wheel (33): f32 dx, f32 dy, u8 precise, u8 0, u8 0, u64 flags ----
struct WheelEvent {
    float dx = 0;
    float dy = 0;
    bool precise = false;
    uint64_t flags = 0;
    Bytes encode() const;
    // Values as sent; the injector scrolls nothing for an amount that is not finite.
    static WheelEvent decode(ByteSpan payload);
};

// ---- Key (34): u16 Mac key code, u8 kind, u64 flags, u8 repeat ----
// Both directions belong to the key table (KeyEvent, encodeKeyEvent, decodeKeyEvent: keymap.h).

// ---- KeyCombo (36): u8 n, then n × u16 Mac key code ----
// Writes at most 255 codes, so that the count always matches.
Bytes encodeKeyCombo(const std::vector<uint16_t>& codes);
// The first min(n, 8) codes; a payload holding fewer of them throws "짧은 메시지".
std::vector<uint16_t> decodeKeyCombo(ByteSpan payload);

// ---- One u8 switch: AudioSwitch (22), ShortcutMode (83), CurtainSwitch (85) ----
Bytes encodeSwitch(bool on);
bool decodeSwitch(ByteSpan payload);   // non-zero is on

// ---- One u8 value: SelectDisplay (80), Power (86) ----
Bytes encodeU8(uint8_t value);
uint8_t decodeU8(ByteSpan payload);

// ---- Quality (84): u8 level; values above 2 mean 2 ----
Bytes encodeQuality(int level);
int decodeQuality(ByteSpan payload);

// ---- One u32: FrameAck (18), FocusWindow (131) ----
Bytes encodeU32(uint32_t value);
uint32_t decodeU32(ByteSpan payload);

// ---- ViewSize (82): u32 width, u32 height ----
struct ViewSizeMsg {
    uint32_t width = 0;
    uint32_t height = 0;
    Bytes encode() const;
    static ViewSizeMsg decode(ByteSpan payload);
};

// ---- Ping (64) and Pong (65): the viewer's u64 clock; the host echoes the bytes unchanged ----
Bytes encodePing(uint64_t nanos);
uint64_t decodePong(ByteSpan payload);

// ---- VideoFrame (17): u32 frame number, u8 key flag, then the access unit ----
Bytes encodeVideoFrame(uint32_t frameNumber, bool keyFrame, ByteSpan accessUnit);
struct VideoFrameMsg {
    uint32_t frameNumber = 0;
    bool keyFrame = false;
    ByteSpan accessUnit;   // points into the decoded payload
    static VideoFrameMsg decode(ByteSpan payload);
};

// ---- Text payloads: TypeText, LockLogin, Chat, Notice, ListFolder, SetDownloadFolder,
// LaunchProgram. UTF-8 to the end of the payload, no terminator. ----
Bytes encodeText(const std::string& text);
// The byte limit the receiver keeps of a text message of that type; SIZE_MAX when it keeps all.
size_t textLimit(MsgType type);
// The text of a message of that type, cut to textLimit(type) bytes.
std::string decodeText(MsgType type, ByteSpan payload);

// ---- Json payloads: the compact text of one Json value, to the end of the payload ----
Bytes encodeJson(const Json& value);
// False when the payload is not one whole Json document of at most Json::kMaxValues values (what
// a payload of a peer may build); `out` is then to be discarded.
bool decodeJson(ByteSpan payload, Json& out);

// ---- SessionRequest (1): the viewer's request ----
// A number is truncated toward zero; a missing member, one of the wrong kind or a number that is not
// finite takes the default.
struct SessionRequest {
    bool retina = true;          // stream at pixel resolution rather than logical size
    int fps = 60;                // clamped to 5..60
    int display = 0;             // at least 0; clampDisplayIndex fits it to the displays present
    int viewW = 0;               // viewer's video area in pixels, 0 = unknown; at least 0
    int viewH = 0;
    std::string os;              // "mac" enables the Mac key map
    std::vector<std::string> codecs;   // sent by the viewer, not read by the host
    bool keymap = false;         // with os "mac": start shortcut matching
    int quality = 0;             // clamped to 0..2
    bool audio = false;
    std::string purpose;         // "wake": only a wake request follows

    bool macKeymap() const { return os == "mac" && keymap; }
    bool wakeOnly() const { return purpose == "wake"; }

    // Members in the order the viewer writes them; "purpose" only when it is not empty.
    Json toJson() const;
    Bytes encode() const { return encodeJson(toJson()); }
    static SessionRequest fromJson(const Json& request);
};
// max(0, min(index, count - 1)): the display a requested index aims at.
int clampDisplayIndex(int index, int count);

// ---- DisplayInfo (2): the host's displays, the streamed area and its features ----
struct DisplayEntry {
    int index = 0;
    int widthPt = 0;    // size divided by the display's scale factor, rounded
    int heightPt = 0;
    int widthPx = 0;
    int heightPx = 0;
    bool main = false;
};

struct DisplayInfo {
    std::string name;
    std::vector<DisplayEntry> displays;
    int current = 0;
    int width = 0;      // encoded stream size in pixels
    int height = 0;
    std::string os = "windows";
    std::vector<std::string> features;
    Json wake;          // array of this host's wake targets; written as [] when not an array
    Json window;        // catalogue entry of the streamed window; written only when an object

    Json toJson() const;
    Bytes encode() const { return encodeJson(toJson()); }
    // Lenient: numbers truncated (sizes at least 0), wrong kinds take the defaults.
    static DisplayInfo fromJson(const Json& info);
};
// The features a Windows host offers, in the order they are announced.
std::vector<std::string> hostFeatures(bool lockHelperInstalled);

// ---- Status (97): exactly {"locked":<bool>,"curtain":<bool>} ----
Bytes encodeStatus(bool locked, bool curtain);
struct StatusMsg {
    std::optional<bool> locked;    // absent member: no value; a value that is not a bool: false
    std::optional<bool> curtain;
    // False when the payload does not parse.
    static bool decode(ByteSpan payload, StatusMsg& out);
};

// ---- Caret (98): {"edit":false}, {"edit":true} or {"edit":true,"x":..,"y":..,"w":..,"h":..} ----
struct CaretMsg {
    bool edit = false;
    bool hasRect = false;          // x, y, w, h are set (fractions of the streamed area)
    double x = 0, y = 0, w = 0, h = 0;
    // Four decimals per value; a rectangle with a value that is not finite is left out.
    std::string text() const;
    Bytes encode() const { return encodeText(text()); }
    static bool decode(ByteSpan payload, CaretMsg& out);
};

// ---- WakeRequest (87): {"targets": [...]} ----
Bytes encodeWakeRequest(const Json& targets);
// False when the payload does not parse; `targets` is its "targets" member (null when missing).
bool decodeWakeRequest(ByteSpan payload, Json& targets);

// ---- SendFiles (122): {"paths": [...]} ----
Bytes encodeSendFiles(const std::vector<std::string>& paths);
// False when the payload does not parse; `paths` is its "paths" member (null when missing).
bool decodeSendFiles(ByteSpan payload, Json& paths);

// ---- FolderListing (121) when file transfer is switched off on the host ----
// Its "error" is kFileTransferOff.
Bytes encodeFolderListingRefusal(const std::string& path);

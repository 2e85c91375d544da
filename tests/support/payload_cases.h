// Every session message type, the end (or ends) that receive it and whether it carries Json, as
// the message catalogue lists them; and payloads of any size for each, for the tests of the
// per-type payload limits on both ends.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "host/protocol/messages.h"

struct PayloadCase {
    MsgType type;
    MsgEnd receiver;
    bool json = false;
    bool prefix = false;  // a text the receiver cuts to its limit rather than drops
};

inline const std::vector<PayloadCase>& everyMessageType() {
    using T = MsgType;
    constexpr MsgEnd H = MsgEnd::Host, V = MsgEnd::Viewer, B = MsgEnd::Both;
    static const std::vector<PayloadCase> cases = {
        {T::SessionRequest, H, true},
        {T::DisplayInfo, V, true},
        {T::StreamHeader, V},
        {T::VideoFrame, V},
        {T::FrameAck, H},
        {T::KeyFrameRequest, H},
        {T::AudioFormat, V, true},
        {T::AudioFrame, V},
        {T::AudioSwitch, H},
        {T::Mouse, H},
        {T::Wheel, H},
        {T::Key, H},
        {T::ReleaseAll, H},
        {T::KeyCombo, H},
        {T::TypeText, H, false, true},
        {T::LockLogin, H, false, true},
        {T::Clipboard, B},
        {T::Cursor, V},
        {T::Ping, H},
        {T::Pong, V},
        {T::SelectDisplay, H},
        {T::ViewSize, H},
        {T::ShortcutMode, H},
        {T::Quality, H},
        {T::CurtainSwitch, H},
        {T::Power, H},
        {T::WakeRequest, H, true},
        {T::Chat, B, false, true},
        {T::Notice, V},
        {T::Status, V, true},
        {T::Caret, V, true},
        {T::FileBegin, B},
        {T::FileData, B},
        {T::FileEnd, B},
        {T::FileAbort, B},
        {T::FileAck, B},
        {T::FileSaved, B},
        {T::FileRefused, B},
        {T::PasteFiles, H},
        {T::ListFolder, H, false, true},
        {T::FolderListing, V, true},
        {T::SendFiles, H, true},
        {T::SetDownloadFolder, H, false, true},
        {T::ListApps, H},
        {T::AppList, V, true},
        {T::LaunchProgram, H, false, true},
        {T::FocusWindow, H},
    };
    return cases;
}

inline bool receivedBy(const PayloadCase& c, MsgEnd end) { return (uint8_t(c.receiver) & uint8_t(end)) != 0; }

// `size` bytes: for a Json type an empty object padded with blanks (so that it still parses),
// otherwise zero bytes, which every fixed field reads as a value that asks for nothing.
inline Bytes payloadOfSize(const PayloadCase& c, size_t size) {
    Bytes out(size, 0);
    if (c.json && size >= 2) {
        std::fill(out.begin(), out.end(), uint8_t(' '));
        out[0] = '{';
        out[1] = '}';
    }
    return out;
}

// ClientSession's receive loop: each message of the host is routed to a handler that decodes it
// and passes it on (to the window's callbacks, the sound port, the clipboard, the file hooks), and
// pictures wait in the video queue for the render loop.
#include "viewer/session.h"

#include <optional>
#include <utility>

#include "files/browse.h"
#include "files/transfer_messages.h"
#include "media/audio.h"
#include "media/stream.h"

namespace {

std::optional<uint32_t> ackableFrame(const ChannelMessage& message) {
    if (message.type != uint8_t(MsgType::VideoFrame) || message.payload.size() < 5) return std::nullopt;
    return loadBe32(message.payload.data());
}

}  // namespace

void ClientSession::receiveLoop() {
    std::string reason;
    try {
        const std::shared_ptr<SecureChannel> secure = currentChannel();
        while (!stop.load()) dispatch(secure->receive(-1));
    } catch (...) {
        reason = exceptionText();
    }
    if (stop.load()) reason.clear();
    else if (hostStalled()) reason = kHostStalledText;
    else if (reason.empty()) reason = kDroppedText;
    try {
        finish(reason);
    } catch (...) {
        // A callback that throws on the way out changes nothing: the session has ended.
    }
}

void ClientSession::dispatch(ChannelMessage message) {
    // Before anything decodes the payload: no type may be larger than what it can hold.
    if (!payloadGate_.admit(message.type, message.payload.size())) return;
    const Bytes& payload = message.payload;
    switch (static_cast<MsgType>(message.type)) {
    case MsgType::DisplayInfo:
        handleDisplayInfo(payload);
        break;
    case MsgType::StreamHeader:
        handleStreamHeader(std::move(message));
        break;
    case MsgType::VideoFrame:
        queueVideo(std::move(message));
        break;
    case MsgType::AudioFormat:
    case MsgType::AudioFrame:
        handleAudio(message);
        break;
    case MsgType::Clipboard:
        handleClipboard(payload);
        break;
    case MsgType::Cursor:
        handleCursor(payload);
        break;
    case MsgType::Pong:
        handlePong(payload);
        break;
    case MsgType::Chat:
        handleChat(payload);
        break;
    case MsgType::Notice:
        handleNotice(payload);
        break;
    case MsgType::Status:
        handleStatus(payload);
        break;
    case MsgType::FileBegin:
    case MsgType::FileData:
    case MsgType::FileEnd:
    case MsgType::FileAbort:
        filesIn.handle(message.type, payload);
        break;
    case MsgType::FileAck:
        filesOut.onAck(payload);
        break;
    case MsgType::FileSaved:
        filesOut.onSaved(payload);
        break;
    case MsgType::FileRefused:
        handleFileRefused(payload);
        break;
    case MsgType::FolderListing:
        handleFolderListing(payload);
        break;
    case MsgType::AppList:
        handleAppList(payload);
        break;
    default:
        break;
    }
}

void ClientSession::handleDisplayInfo(const Bytes& payload) {
    Json info;
    if (onDisplayInfo && decodeJson(payload, info)) onDisplayInfo(std::move(info));
}

void ClientSession::handleStreamHeader(ChannelMessage message) {
    const Bytes& payload = message.payload;
    if (!payload.empty()) {
        std::lock_guard lock(statsMutex);
        codecName = payload[0] == StreamHeader::kHevc ? "HEVC" : "H.264";
    }
    queueVideo(std::move(message));
}

void ClientSession::handleAudio(const ChannelMessage& message) {
    if (message.type != uint8_t(MsgType::AudioFormat)) {
        audio->playFrame(message.payload);
        return;
    }
    // Read here, so that the player's lock, which the window takes too, never covers it.
    AudioFormat format;
    if (readAudioFormat(spanToString(message.payload), format)) audio->setFormat(format);
}

void ClientSession::handleClipboard(const Bytes& payload) {
    if (clipboardSync) devices_->clipboard().applyRemote(payload);
}

void ClientSession::handleCursor(const Bytes& payload) {
    if (onCursor) onCursor(payload);
}

void ClientSession::handlePong(const Bytes& payload) {
    const uint64_t echo = decodePong(payload);  // "짧은 메시지" under 8 bytes
    const int64_t t = now();
    // A hostile echo from the future (or a huge one) says nothing about the round trip.
    if (t > 0 && echo < uint64_t(t)) {
        std::lock_guard lock(statsMutex);
        rttMs = double(uint64_t(t) - echo) / 1e6;
    }
}

void ClientSession::handleChat(const Bytes& payload) {
    if (onChat) onChat(decodeText(MsgType::Chat, payload));
}

void ClientSession::handleNotice(const Bytes& payload) {
    if (onNotice) onNotice(cappedPeerText(asText(payload)));
}

void ClientSession::handleStatus(const Bytes& payload) {
    StatusMsg status;
    if (!StatusMsg::decode(payload, status)) return;
    if (onLocked && status.locked) onLocked(*status.locked);
    if (onCurtain && status.curtain) onCurtain(*status.curtain);
}

void ClientSession::handleFolderListing(const Bytes& payload) {
    if (!onFolderListing) return;
    Json listing;
    if (decodeJson(payload, listing)) onFolderListing(std::move(listing));
}

void ClientSession::handleAppList(const Bytes& payload) {
    Json list;
    if (onAppList && decodeJson(payload, list)) onAppList(std::move(list));
}

void ClientSession::queueVideo(ChannelMessage message) {
    std::vector<uint32_t> acks;  // frames dropped here, acknowledged so the host keeps sending
    bool wantKeyFrame = false;
    const bool frame = message.type == uint8_t(MsgType::VideoFrame);
    const bool keyFrame = frame && message.payload.size() >= 5 && message.payload[4] != 0;
    auto drop = [&](const ChannelMessage& dropped) {
        if (auto number = ackableFrame(dropped)) acks.push_back(*number);
    };
    {
        std::lock_guard lock(queueMutex);
        bool keep = true;
        if (frame && skipToKeyFrame_ && !keyFrame) {
            // Frames after a gap cannot be decoded until the next key frame.
            drop(message);
            keep = false;
            wantKeyFrame = true;
        } else {
            if (keyFrame) skipToKeyFrame_ = false;
            const size_t size = message.payload.size();
            if (videoQueue.size() >= queueLimits.maxMessages || queuedBytes_ + size > queueLimits.maxBytes) {
                // The loop has fallen behind: start again from the newest stream header and the
                // next key frame.
                std::optional<ChannelMessage> header;
                for (ChannelMessage& queued : videoQueue) {
                    if (queued.type == uint8_t(MsgType::StreamHeader)) header = std::move(queued);
                    else drop(queued);
                }
                if (!frame) header.reset();  // the incoming header is the newer one
                videoQueue.clear();
                queuedBytes_ = 0;
                if (header && header->payload.size() <= queueLimits.maxBytes) {
                    queuedBytes_ = header->payload.size();
                    videoQueue.push_back(std::move(*header));
                }
                wantKeyFrame = true;
                // Only a key frame that fits beside the header starts the stream again; any other
                // frame waits for the next key frame, which is asked for again.
                if (frame && (!keyFrame || size > queueLimits.maxBytes - queuedBytes_)) {
                    skipToKeyFrame_ = true;
                    drop(message);
                    keep = false;
                } else if (!frame && size > queueLimits.maxBytes) {
                    keep = false;
                }
            }
        }
        if (keep) {
            queuedBytes_ += message.payload.size();
            videoQueue.push_back(std::move(message));
        }
    }
    queueCv.notify_all();
    for (uint32_t number : acks) send(MsgType::FrameAck, encodeU32(number));
    if (wantKeyFrame) requestKeyFrame();
}

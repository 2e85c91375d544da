// The file-transfer messages: their type bytes and payload layouts. Both directions of a session
// use them (each side owns a sender and a receiver). Every payload starts with a u32 transfer id;
// integers are big-endian; texts are UTF-8 to the end of the payload. A payload that ends before a
// fixed field throws ProtoError "짧은 메시지".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/util.h"

// Type bytes ('p' to 'v'), sender to receiver 112-115, receiver to sender 116-118.
inline constexpr uint8_t kFileBegin = 112;     // header of one file
inline constexpr uint8_t kFileData = 113;      // id, one chunk
inline constexpr uint8_t kFileEnd = 114;       // id
inline constexpr uint8_t kFileAbort = 115;     // id, reason; id 0 drops every transfer
inline constexpr uint8_t kFileAck = 116;       // id, u64 bytes written so far
inline constexpr uint8_t kFileSaved = 117;     // id, saved top-level path
inline constexpr uint8_t kFileRefused = 118;   // id, reason; id 0 answers a request
// Viewer requests the host serves.
inline constexpr uint8_t kPasteFiles = 119;        // empty: send the files on the host's clipboard
inline constexpr uint8_t kListFolder = 120;        // text: a host folder to list
inline constexpr uint8_t kFolderListing = 121;     // Json listing
inline constexpr uint8_t kSendFiles = 122;         // Json {"paths": [...]}
inline constexpr uint8_t kSetDownloadFolder = 123; // text: where the next upload goes

// Flow control: at most this much of one file in one FileData, and the window of one file.
inline constexpr size_t kChunkBytes = 131072;
inline constexpr uint64_t kWindowBytes = 4194304;

// Texts from the peer that are kept or shown (saved locations, refusal and abort reasons) are cut
// to this many bytes: every text the transfer itself writes is far shorter.
inline constexpr size_t kMaxPeerTextBytes = 4096;
// The text cut to at most maxBytes, between UTF-8 sequences; only what is kept is copied.
std::string cappedPeerText(std::string_view text, size_t maxBytes = kMaxPeerTextBytes);

// Id-0 refusals of the host's answers to requests 119 and 122.
extern const char* const kFileTransferOff;   // "원격 PC 에서 파일 주고받기가 꺼져 있습니다"
extern const char* const kNoCopiedFiles;     // 119 with an empty clipboard
extern const char* const kNoFilesFound;      // 122 whose paths all missing
extern const char* const kSenderBusy;        // 119 or 122 while the sender's queue is full

// The u32 id followed by the bytes (a text's UTF-8 bytes, or nothing): FileAbort, FileSaved,
// FileRefused, and the host's id-0 refusals.
Bytes idPayload(uint32_t id, ByteSpan bytes = {});
Bytes idPayload(uint32_t id, const std::string& text);

// FileBegin, at least 32 bytes: id, batch id, index, count, size, batch total, relative path.
struct FileBeginMsg {
    uint32_t id = 0;
    uint32_t batchId = 0;
    uint32_t index = 0;      // of this file in its batch, from 0
    uint32_t count = 0;      // files in the batch
    uint64_t size = 0;       // as measured at expansion; the receiver does not use it
    uint64_t total = 0;      // bytes of the whole batch
    std::string path;        // "/"-separated, first component the selected item's name
    Bytes encode() const;
    static FileBeginMsg decode(ByteSpan payload);
};

// FileAck, at least 12 bytes: id and the running total of bytes written; the rest is ignored.
struct FileAckMsg {
    uint32_t id = 0;
    uint64_t written = 0;
    Bytes encode() const;
    static FileAckMsg decode(ByteSpan payload);
};

// FileAbort, FileSaved, FileRefused: the id and a text (possibly empty).
struct IdTextMsg {
    uint32_t id = 0;
    std::string text;
    static IdTextMsg decode(ByteSpan payload);
};

// The id at the start of FileData, FileEnd and the others.
uint32_t decodeTransferId(ByteSpan payload);

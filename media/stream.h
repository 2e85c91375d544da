// The video stream's wire form: the stream header (codec, size, parameter sets) and access units
// of NAL units each behind a big-endian length, with the conversions from the encoder's Annex-B
// output and back to Annex-B for the decoder. One definition for host and viewer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/util.h"

// Bytes of a stream header a viewer takes. The decoder puts its parameter sets in front of every
// key frame again; real ones are a few hundred bytes (a few KiB with scaling lists), three a stream.
inline constexpr size_t kMaxStreamHeaderBytes = 65536;

// Payload of the stream header message: u8 codec, u8 NAL length size, u32 width, u32 height,
// u8 count, then count times a u32 length and that parameter set's bytes.
struct StreamHeader {
    static constexpr uint8_t kH264 = 1;
    static constexpr uint8_t kHevc = 2;

    uint8_t codec = kH264;
    uint8_t nalLengthSize = 4;  // bytes of each NAL unit's length in a video frame (this host: 4)
    uint32_t width = 0, height = 0;
    std::vector<Bytes> parameterSets;  // H.264 SPS, PPS; HEVC VPS, SPS, PPS; without start codes

    // Empty (nothing to send) for more than 255 parameter sets, which the count cannot hold.
    static Bytes encode(const StreamHeader& header);
    // Throws ProtoError "짧은 메시지" when the payload ends inside a field; bytes after the last
    // set are ignored.
    static StreamHeader read(ByteSpan payload);
};

// One encoded picture ready to send.
struct EncodedAccessUnit {
    std::vector<Bytes> parameterSets;  // parameter-set NAL units found in the picture, in order
    Bytes payload;                     // every other kept NAL unit behind its u32 length
    bool keyFrame = false;             // an IDR (H.264) or IRAP (HEVC) NAL unit is present
};

// The NAL units of an Annex-B byte stream, pointing into `bytes`. Zero bytes before a start code
// belong to it (a unit of zeros alone is dropped); the last unit runs to the end as it is.
std::vector<ByteSpan> splitAnnexB(const uint8_t* bytes, size_t length);

// Splits the encoder's output, drops access-unit delimiters, moves parameter sets aside and puts
// every other unit behind a u32 big-endian length.
EncodedAccessUnit packAccessUnit(const uint8_t* annexB, size_t length, bool hevc);

// Annex-B for a decoder: the parameter sets (when given) and then the payload's NAL units, each
// behind 00 00 00 01. Lengths have `lengthSize` bytes (1 to 4; any other value means 4). Stops
// quietly at a zero length or one that runs past the payload, keeping what came before.
Bytes lengthPrefixedToAnnexB(ByteSpan payload, int lengthSize, const std::vector<Bytes>* parameterSets);

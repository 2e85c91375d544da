// A lossless H.264 writer for tests and for the stand-in encoder: every picture is one I slice of
// I_PCM macroblocks (Main profile, CAVLC), so a decoder gives back exactly the NV12 it was given.
// Each access unit starts with an access-unit delimiter; IDR pictures carry SPS and PPS in front,
// other pictures are non-IDR reference pictures (NAL type 1) with frame_num counting up. The
// picture is cropped from whole macroblocks to its size; the VUI states no colour description and
// no picture reordering (max_num_reorder_frames 0), so decoders output each picture at once.
// Start codes: 4 bytes before the delimiter and the parameter sets, 3 bytes before the slice.
#pragma once

#include <cstdint>
#include <vector>

class LosslessH264Writer {
public:
    static constexpr int kLog2MaxFrameNum = 4;  // frame_num counts modulo 16

    // Width and height even and at least 2 (NV12).
    LosslessH264Writer(int width, int height);

    // The Annex-B access unit of one width x height NV12 picture (luma, then interleaved chroma,
    // pitch = width). The first picture is always an IDR picture.
    std::vector<uint8_t> encode(const uint8_t* nv12, bool idr);

    std::vector<uint8_t> sps() const;  // NAL units with their header byte, without start codes
    std::vector<uint8_t> pps() const;

private:
    std::vector<uint8_t> slice(const uint8_t* nv12, bool idr) const;

    int width_, height_;
    int mbWidth_, mbHeight_;
    bool started_ = false;
    uint32_t frameNum_ = 0;
    uint32_t idrCount_ = 0;
};

// NAL unit bytes from raw bytes: a 0x03 goes after every two zero bytes that a byte of 0 to 3
// follows, and after a zero byte at the end.
std::vector<uint8_t> addEmulationPrevention(const std::vector<uint8_t>& rbsp);

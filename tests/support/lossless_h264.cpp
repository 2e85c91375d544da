#include "support/lossless_h264.h"

#include <algorithm>
#include <stdexcept>

namespace {

class BitWriter {
public:
    void bits(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
    }
    void bit(uint32_t b) {
        if (used_ == 0) out_.push_back(0);
        if (b) out_.back() |= uint8_t(0x80 >> used_);
        used_ = (used_ + 1) % 8;
    }
    // Exp-Golomb codes.
    void ue(uint32_t value) {
        const uint64_t v = uint64_t(value) + 1;
        int length = 0;
        while ((v >> length) > 1) ++length;
        bits(0, length);
        for (int i = length; i >= 0; --i) bit(uint32_t(v >> i) & 1);
    }
    void se(int32_t value) { ue(value > 0 ? uint32_t(2 * value - 1) : uint32_t(-2 * int64_t(value))); }
    bool aligned() const { return used_ == 0; }
    void byte(uint8_t b) { bits(b, 8); }
    // rbsp_trailing_bits: a stop bit, then zeros to the byte boundary.
    std::vector<uint8_t> finish() {
        bit(1);
        while (!aligned()) bit(0);
        return out_;
    }

private:
    std::vector<uint8_t> out_;
    int used_ = 0;  // bits used in the last byte
};

std::vector<uint8_t> nal(int refIdc, int type, const std::vector<uint8_t>& rbsp) {
    std::vector<uint8_t> out{uint8_t((refIdc << 5) | type)};
    const std::vector<uint8_t> payload = addEmulationPrevention(rbsp);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& startCode, const std::vector<uint8_t>& unit) {
    out.insert(out.end(), startCode.begin(), startCode.end());
    out.insert(out.end(), unit.begin(), unit.end());
}

const std::vector<uint8_t> kStart4{0, 0, 0, 1}, kStart3{0, 0, 1};

}  // namespace

std::vector<uint8_t> addEmulationPrevention(const std::vector<uint8_t>& rbsp) {
    std::vector<uint8_t> out;
    out.reserve(rbsp.size() + rbsp.size() / 64 + 4);
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros == 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    if (zeros > 0) out.push_back(3);
    return out;
}

LosslessH264Writer::LosslessH264Writer(int width, int height)
    : width_(width), height_(height), mbWidth_((width + 15) / 16), mbHeight_((height + 15) / 16) {
    if (width < 2 || height < 2 || width % 2 || height % 2) throw std::invalid_argument("NV12 sizes are even");
}

std::vector<uint8_t> LosslessH264Writer::sps() const {
    BitWriter w;
    w.byte(77);                                      // profile_idc: Main
    w.byte(0);                                       // constraint flags, reserved bits
    w.byte(mbWidth_ * mbHeight_ <= 36864 ? 51 : 62);  // level_idc: 5.1 holds 4096 x 2304
    w.ue(0);                                         // seq_parameter_set_id
    w.ue(kLog2MaxFrameNum - 4);
    w.ue(2);  // pic_order_cnt_type 2: output order is decoding order
    w.ue(1);  // max_num_ref_frames
    w.bit(0);  // gaps_in_frame_num_value_allowed_flag
    w.ue(uint32_t(mbWidth_ - 1));
    w.ue(uint32_t(mbHeight_ - 1));
    w.bit(1);  // frame_mbs_only_flag
    w.bit(1);  // direct_8x8_inference_flag
    const int cropRight = (mbWidth_ * 16 - width_) / 2, cropBottom = (mbHeight_ * 16 - height_) / 2;  // 4:2:0 units
    w.bit(cropRight || cropBottom);  // frame_cropping_flag
    if (cropRight || cropBottom) {
        w.ue(0);
        w.ue(uint32_t(cropRight));
        w.ue(0);
        w.ue(uint32_t(cropBottom));
    }
    w.bit(1);  // vui_parameters_present_flag
    w.bit(0);  // aspect_ratio_info_present_flag
    w.bit(0);  // overscan_info_present_flag
    w.bit(0);  // video_signal_type_present_flag: no range, no colour description
    w.bit(0);  // chroma_loc_info_present_flag
    w.bit(0);  // timing_info_present_flag
    w.bit(0);  // nal_hrd_parameters_present_flag
    w.bit(0);  // vcl_hrd_parameters_present_flag
    w.bit(0);  // pic_struct_present_flag
    w.bit(1);  // bitstream_restriction_flag
    w.bit(1);  // motion_vectors_over_pic_boundaries_flag
    w.ue(0);   // max_bytes_per_pic_denom
    w.ue(0);   // max_bits_per_mb_denom
    w.ue(15);  // log2_max_mv_length_horizontal
    w.ue(15);  // log2_max_mv_length_vertical
    w.ue(0);   // max_num_reorder_frames
    w.ue(1);   // max_dec_frame_buffering
    return nal(3, 7, w.finish());
}

std::vector<uint8_t> LosslessH264Writer::pps() const {
    BitWriter w;
    w.ue(0);   // pic_parameter_set_id
    w.ue(0);   // seq_parameter_set_id
    w.bit(0);  // entropy_coding_mode_flag: CAVLC
    w.bit(0);  // bottom_field_pic_order_in_frame_present_flag
    w.ue(0);   // num_slice_groups_minus1
    w.ue(0);   // num_ref_idx_l0_default_active_minus1
    w.ue(0);   // num_ref_idx_l1_default_active_minus1
    w.bit(0);  // weighted_pred_flag
    w.bits(0, 2);  // weighted_bipred_idc
    w.se(0);   // pic_init_qp_minus26
    w.se(0);   // pic_init_qs_minus26
    w.se(0);   // chroma_qp_index_offset
    w.bit(1);  // deblocking_filter_control_present_flag
    w.bit(0);  // constrained_intra_pred_flag
    w.bit(0);  // redundant_pic_cnt_present_flag
    return nal(3, 8, w.finish());
}

std::vector<uint8_t> LosslessH264Writer::slice(const uint8_t* nv12, bool idr) const {
    BitWriter w;
    w.ue(0);  // first_mb_in_slice
    w.ue(7);  // slice_type: I, and every slice of the picture is I
    w.ue(0);  // pic_parameter_set_id
    w.bits(frameNum_, kLog2MaxFrameNum);
    if (idr) w.ue(idrCount_ % 2);  // idr_pic_id: consecutive IDR pictures differ
    if (idr) {
        w.bit(0);  // no_output_of_prior_pics_flag
        w.bit(0);  // long_term_reference_flag
    } else {
        w.bit(0);  // adaptive_ref_pic_marking_mode_flag: sliding window
    }
    w.se(0);  // slice_qp_delta
    w.ue(1);  // disable_deblocking_filter_idc: off, PCM needs none
    // Samples beyond the picture (cropped away) repeat its last column and row.
    const uint8_t* uvPlane = nv12 + size_t(width_) * size_t(height_);
    auto luma = [&](int x, int y) { return nv12[size_t(std::min(y, height_ - 1)) * size_t(width_) + size_t(std::min(x, width_ - 1))]; };
    auto chroma = [&](int x, int y, int k) {
        const int cx = std::min(x, width_ / 2 - 1), cy = std::min(y, height_ / 2 - 1);
        return uvPlane[size_t(cy) * size_t(width_) + 2 * size_t(cx) + size_t(k)];
    };
    for (int my = 0; my < mbHeight_; ++my) {
        for (int mx = 0; mx < mbWidth_; ++mx) {
            w.ue(25);  // mb_type I_PCM
            while (!w.aligned()) w.bit(0);  // pcm_alignment_zero_bit
            for (int y = 0; y < 16; ++y) {
                for (int x = 0; x < 16; ++x) w.byte(luma(mx * 16 + x, my * 16 + y));
            }
            for (int k = 0; k < 2; ++k) {  // all Cb samples, then all Cr
                for (int y = 0; y < 8; ++y) {
                    for (int x = 0; x < 8; ++x) w.byte(chroma(mx * 8 + x, my * 8 + y, k));
                }
            }
        }
    }
    return nal(idr ? 3 : 2, idr ? 5 : 1, w.finish());
}

std::vector<uint8_t> LosslessH264Writer::encode(const uint8_t* nv12, bool idr) {
    idr = idr || !started_;
    started_ = true;
    if (idr) frameNum_ = 0;
    std::vector<uint8_t> out;
    BitWriter aud;
    aud.bits(0, 3);  // primary_pic_type 0: I slices only
    append(out, kStart4, nal(0, 9, aud.finish()));
    if (idr) {
        append(out, kStart4, sps());
        append(out, kStart4, pps());
    }
    append(out, kStart3, slice(nv12, idr));
    if (idr) ++idrCount_;
    frameNum_ = (frameNum_ + 1) % (1u << kLog2MaxFrameNum);
    return out;
}

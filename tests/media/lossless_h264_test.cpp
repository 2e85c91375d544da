#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/stream.h"
#include "support/lossless_h264.h"
#include "support/silent_aac.h"

namespace {

// Reads the bits of a NAL unit's payload with its emulation prevention bytes removed.
class BitReader {
public:
    explicit BitReader(ByteSpan unit) {
        int zeros = 0;
        for (size_t i = 1; i < unit.size(); ++i) {  // after the header byte
            if (zeros == 2 && unit[i] == 3) {
                zeros = 0;
                continue;
            }
            rbsp_.push_back(unit[i]);
            zeros = unit[i] == 0 ? zeros + 1 : 0;
        }
    }
    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (pos_ >= rbsp_.size() * 8) throw std::out_of_range("past the end");
            v = (v << 1) | ((rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
            ++pos_;
        }
        return v;
    }
    uint32_t ue() {
        int zeros = 0;
        while (bits(1) == 0) ++zeros;
        return (1u << zeros) - 1 + bits(zeros);
    }
    int32_t se() {
        const uint32_t k = ue();
        return k % 2 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
    }
    bool aligned() const { return pos_ % 8 == 0; }
    // rbsp_trailing_bits and nothing after them.
    bool atTrailingBits() {
        if (bits(1) != 1) return false;
        while (!aligned()) {
            if (bits(1) != 0) return false;
        }
        return pos_ == rbsp_.size() * 8;
    }

private:
    std::vector<uint8_t> rbsp_;
    size_t pos_ = 0;
};

struct Sps {
    uint32_t profile, level, mbWidth, mbHeight, cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    uint32_t pocType, log2MaxFrameNum, maxRefFrames;
    bool signalType, timing, restriction;
    uint32_t maxReorder = 99, maxDecBuffering = 99;
};

Sps readSps(ByteSpan unit) {
    EXPECT_EQ(unit[0], 0x67);
    BitReader r(unit);
    Sps s{};
    s.profile = r.bits(8);
    r.bits(8);
    s.level = r.bits(8);
    EXPECT_EQ(r.ue(), 0u);
    s.log2MaxFrameNum = r.ue() + 4;
    s.pocType = r.ue();
    s.maxRefFrames = r.ue();
    r.bits(1);
    s.mbWidth = r.ue() + 1;
    s.mbHeight = r.ue() + 1;
    EXPECT_EQ(r.bits(1), 1u);  // frames only
    r.bits(1);
    if (r.bits(1)) {
        s.cropLeft = r.ue(), s.cropRight = r.ue(), s.cropTop = r.ue(), s.cropBottom = r.ue();
    }
    EXPECT_EQ(r.bits(1), 1u);  // VUI
    EXPECT_EQ(r.bits(1), 0u);  // aspect ratio
    EXPECT_EQ(r.bits(1), 0u);  // overscan
    s.signalType = r.bits(1);
    EXPECT_EQ(r.bits(1), 0u);  // chroma location
    s.timing = r.bits(1);
    EXPECT_EQ(r.bits(3), 0u);  // no HRD, no pic_struct
    s.restriction = r.bits(1);
    if (s.restriction) {
        r.bits(1);
        r.ue(), r.ue(), r.ue(), r.ue();
        s.maxReorder = r.ue();
        s.maxDecBuffering = r.ue();
    }
    EXPECT_TRUE(r.atTrailingBits());
    return s;
}

// A picture whose samples tell their place: luma (x + 3y) mod 256, chroma (5x + 7y + k) mod 256,
// with zeros in places (the worst case for emulation prevention).
std::vector<uint8_t> pattern(int width, int height, int seed) {
    std::vector<uint8_t> p(size_t(width) * size_t(height) * 3 / 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) p[size_t(y) * size_t(width) + size_t(x)] = uint8_t((x + 3 * y + seed) % 256 * ((x / 4) % 3 != 0));
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int i = 0; i < width; ++i) p[size_t(width * height) + size_t(y * width + i)] = uint8_t((5 * i + 7 * y + seed) % 256 * (i % 5 != 0));
    }
    return p;
}

TEST(LosslessH264Writer, KeyFrameCarriesParameterSetsAndPacksToOneSlice) {
    LosslessH264Writer writer(100, 64);
    const std::vector<uint8_t> picture = pattern(100, 64, 0);
    const std::vector<uint8_t> key = writer.encode(picture.data(), true);
    // Delimiter, SPS and PPS behind 4-byte start codes, the slice behind a 3-byte one.
    ASSERT_GE(key.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(key.begin(), key.begin() + 6), (std::vector<uint8_t>{0, 0, 0, 1, 0x09, 0x10}));
    const std::vector<uint8_t> sps = writer.sps(), pps = writer.pps();
    std::vector<uint8_t> head{0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1};
    head.insert(head.end(), sps.begin(), sps.end());
    head.insert(head.end(), {0, 0, 0, 1});
    head.insert(head.end(), pps.begin(), pps.end());
    head.insert(head.end(), {0, 0, 1, 0x65});
    EXPECT_EQ(std::vector<uint8_t>(key.begin(), key.begin() + ptrdiff_t(head.size())), head);

    const EncodedAccessUnit au = packAccessUnit(key.data(), key.size(), false);
    EXPECT_TRUE(au.keyFrame);
    EXPECT_EQ(au.parameterSets, (std::vector<Bytes>{sps, pps}));
    ASSERT_GT(au.payload.size(), 5u);
    EXPECT_EQ(au.payload[4], 0x65);
    EXPECT_EQ(size_t(au.payload[0]) << 24 | size_t(au.payload[1]) << 16 | size_t(au.payload[2]) << 8 | au.payload[3],
              au.payload.size() - 4);  // one unit

    const std::vector<uint8_t> other = writer.encode(picture.data(), false);
    const EncodedAccessUnit next = packAccessUnit(other.data(), other.size(), false);
    EXPECT_FALSE(next.keyFrame);
    EXPECT_TRUE(next.parameterSets.empty());
    EXPECT_EQ(next.payload[4], 0x41);  // reference picture, type 1
}

TEST(LosslessH264Writer, SpsDescribesTheCroppedPictureAndNoReordering) {
    const struct {
        int width, height;
        uint32_t mbWidth, mbHeight, cropRight, cropBottom, level;
    } cases[] = {{100, 64, 7, 4, 6, 0, 51}, {1920, 1080, 120, 68, 0, 4, 51}, {64, 64, 4, 4, 0, 0, 51},
                 {2, 2, 1, 1, 7, 7, 51},     {4096, 2304, 256, 144, 0, 0, 51}, {7680, 4320, 480, 270, 0, 0, 62}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const Sps s = readSps(LosslessH264Writer(c.width, c.height).sps());
        EXPECT_EQ(s.profile, 77u);
        EXPECT_EQ(s.level, c.level);
        EXPECT_EQ(s.mbWidth, c.mbWidth);
        EXPECT_EQ(s.mbHeight, c.mbHeight);
        EXPECT_EQ(s.cropLeft, 0u);
        EXPECT_EQ(s.cropRight, c.cropRight);
        EXPECT_EQ(s.cropTop, 0u);
        EXPECT_EQ(s.cropBottom, c.cropBottom);
        EXPECT_EQ(s.pocType, 2u);
        EXPECT_EQ(s.log2MaxFrameNum, 4u);
        EXPECT_EQ(s.maxRefFrames, 1u);
        EXPECT_FALSE(s.signalType);
        EXPECT_FALSE(s.timing);
        EXPECT_TRUE(s.restriction);
        EXPECT_EQ(s.maxReorder, 0u);
        EXPECT_EQ(s.maxDecBuffering, 1u);
    }
}

// Reads the slice back: header fields, then each macroblock's I_PCM samples in macroblock order
// (16 x 16 luma, 8 x 8 Cb, 8 x 8 Cr), which must be the picture's, edges repeated past its size.
struct SliceHeader {
    uint32_t frameNum;
    int idrPicId;
};

SliceHeader readSlice(ByteSpan unit, int width, int height, const std::vector<uint8_t>& picture) {
    const bool idr = (unit[0] & 0x1f) == 5;
    BitReader r(unit);
    EXPECT_EQ(r.ue(), 0u);  // first macroblock
    EXPECT_EQ(r.ue(), 7u);  // I
    EXPECT_EQ(r.ue(), 0u);  // PPS
    SliceHeader h{r.bits(4), -1};
    if (idr) {
        h.idrPicId = int(r.ue());
        EXPECT_EQ(r.bits(2), 0u);
    } else {
        EXPECT_EQ(r.bits(1), 0u);
    }
    EXPECT_EQ(r.se(), 0);
    EXPECT_EQ(r.ue(), 1u);  // no deblocking
    const int mbw = (width + 15) / 16, mbh = (height + 15) / 16;
    const uint8_t* uv = picture.data() + size_t(width) * size_t(height);
    for (int my = 0; my < mbh; ++my) {
        for (int mx = 0; mx < mbw; ++mx) {
            EXPECT_EQ(r.ue(), 25u) << mx << "," << my;
            while (!r.aligned()) EXPECT_EQ(r.bits(1), 0u);
            for (int y = 0; y < 16; ++y) {
                for (int x = 0; x < 16; ++x) {
                    const int px = std::min(mx * 16 + x, width - 1), py = std::min(my * 16 + y, height - 1);
                    const uint32_t sample = r.bits(8);
                    if (sample != picture[size_t(py) * size_t(width) + size_t(px)]) {
                        ADD_FAILURE() << "luma " << px << "," << py;
                        return h;
                    }
                }
            }
            for (int k = 0; k < 2; ++k) {
                for (int y = 0; y < 8; ++y) {
                    for (int x = 0; x < 8; ++x) {
                        const int cx = std::min(mx * 8 + x, width / 2 - 1), cy = std::min(my * 8 + y, height / 2 - 1);
                        const uint32_t sample = r.bits(8);
                        if (sample != uv[size_t(cy) * size_t(width) + 2 * size_t(cx) + size_t(k)]) {
                            ADD_FAILURE() << "chroma " << k << " " << cx << "," << cy;
                            return h;
                        }
                    }
                }
            }
        }
    }
    EXPECT_TRUE(r.atTrailingBits());
    return h;
}

TEST(LosslessH264Writer, SlicesHoldThePictureAndCountFrames) {
    for (const auto& [width, height] : {std::pair{100, 64}, {48, 32}, {34, 18}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        LosslessH264Writer writer(width, height);
        std::vector<uint32_t> frameNums;
        std::vector<int> idrIds;
        for (int i = 0; i < 20; ++i) {
            const std::vector<uint8_t> picture = pattern(width, height, i);
            const bool key = i == 0 || i == 18 || i == 19;
            const std::vector<uint8_t> au = writer.encode(picture.data(), key);
            const std::vector<ByteSpan> units = splitAnnexB(au.data(), au.size());
            ASSERT_EQ(units.size(), key ? 4u : 2u);
            const SliceHeader h = readSlice(units.back(), width, height, picture);
            frameNums.push_back(h.frameNum);
            if (key) idrIds.push_back(h.idrPicId);
        }
        EXPECT_EQ(frameNums, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 0, 0}));
        EXPECT_EQ(idrIds, (std::vector<int>{0, 1, 0}));
    }
}

TEST(LosslessH264Writer, FirstPictureIsAlwaysAKeyFrame) {
    LosslessH264Writer writer(16, 16);
    const std::vector<uint8_t> picture(16 * 16 * 3 / 2, 0x80);
    const std::vector<uint8_t> au = writer.encode(picture.data(), false);
    EXPECT_TRUE(packAccessUnit(au.data(), au.size(), false).keyFrame);
    EXPECT_THROW(LosslessH264Writer(15, 16), std::invalid_argument);
}

// Pictures of zeros and of small values: no unit may contain 00 00 00, 00 00 01 or 00 00 02.
TEST(LosslessH264Writer, NoStartCodeInsideAUnit) {
    for (uint8_t level : {uint8_t(0), uint8_t(1), uint8_t(3)}) {
        LosslessH264Writer writer(64, 32);
        const std::vector<uint8_t> picture(64 * 32 * 3 / 2, level);
        for (bool key : {true, false}) {
            const std::vector<uint8_t> au = writer.encode(picture.data(), key);
            for (ByteSpan unit : splitAnnexB(au.data(), au.size())) {
                for (size_t i = 0; i + 2 < unit.size(); ++i) {
                    ASSERT_FALSE(unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] <= 2) << int(level) << " at " << i;
                }
                EXPECT_NE(unit.back(), 0);
            }
        }
    }
    EXPECT_EQ(addEmulationPrevention({0, 0, 0, 0, 1, 0, 0, 3, 0, 0, 4, 0}),
              (std::vector<uint8_t>{0, 0, 3, 0, 0, 3, 1, 0, 0, 3, 3, 0, 0, 4, 0, 3}));
}

// The silent AAC frames: element id, tag and global gain of each channel, empty channel
// information (max_sfb 0, no tools), END, then only the padding to the byte.
TEST(SilentAac, FramesHoldSilentChannelsAndEnd) {
    for (int channels : {1, 2}) {
        const std::vector<uint8_t>& frame = silentAacFrame(channels);
        std::vector<uint8_t> withHeader{0x65};  // BitReader skips one byte
        withHeader.insert(withHeader.end(), frame.begin(), frame.end());
        BitReader r(withHeader);
        EXPECT_EQ(r.bits(3), channels == 1 ? 0u : 1u);  // SCE or CPE
        EXPECT_EQ(r.bits(4), 0u);                        // instance tag
        if (channels == 2) {
            EXPECT_EQ(r.bits(1), 0u);  // no common window
        }
        for (int c = 0; c < channels; ++c) {
            EXPECT_EQ(r.bits(8), 100u);  // global gain
            EXPECT_EQ(r.bits(1 + 2 + 1 + 6 + 1), 0u);  // long window, max_sfb 0, no prediction
            EXPECT_EQ(r.bits(3), 0u);  // no pulse, TNS or gain control data
        }
        EXPECT_EQ(r.bits(3), 7u);  // END
        while (!r.aligned()) EXPECT_EQ(r.bits(1), 0u);
    }
}

}  // namespace

// VideoDecoder with the system's own H.264 decoder, fed by the stand-in encoder through the wire
// form: pictures must come back exactly and in order. A wrapper around the system decoder counts
// how often a transform is built and makes it misbehave where a real one might.
#include <mfapi.h>
#include <mferror.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/util.h"
#include "media/decoder.h"
#include "media/encoder.h"
#include "media/stream.h"
#include "support/class_factory_win.h"
#include "support/local_transform_win.h"
#include "support/log_capture.h"
#include "support/lossless_h264.h"
#include "support/mf_test.h"
#include "support/nv12_pattern.h"
#include "support/stand_in_encoder_win.h"
#include "support/stand_in_server_win.h"

using Microsoft::WRL::ComPtr;

namespace {

// How the wrapped decoder misbehaves; shared with every wrapper that one registration makes.
struct WrapperControl {
    std::atomic<int> builds{0};
    std::atomic<int> alive{0};  // wrappers not yet released
    std::atomic<bool> alwaysStreamChange{false};
    std::atomic<int> shortenOutputBy{0};  // bytes taken off each picture's length
    std::atomic<int> streamChanges{0};
    std::atomic<int> pictures{0};  // given out by the system decoder
    std::atomic<int> refuseInputs{0};  // inputs to answer with MF_E_NOTACCEPTING
    // Hands out samples of its own, each picture in a two-dimensional buffer this many bytes
    // wider per row than the output type says.
    std::atomic<int> ownWiderSamples{0};
    // While set, every output type offered has this frame size, and setting it is taken without
    // the system decoder seeing it.
    std::atomic<UINT32> proposeWidth{0}, proposeHeight{0};
    std::atomic<int> streamChangeOnce{0};  // the next ProcessOutput answers STREAM_CHANGE
    // Claims to provide samples and answers S_OK without one; after 10,000 such answers it says
    // it needs more input, so that a drain without a bound still ends.
    std::atomic<bool> emptyOutputs{false};
    std::atomic<int> emptyAnswers{0};
    std::atomic<int> typesSet{0};  // output types the decoder set
    // Setting up fails: the input type is refused; no NV12 output type is offered; the NV12
    // output type offered is refused.
    std::atomic<bool> refuseInputType{false}, hideNv12{false}, refuseOutputType{false};

    // Every sample handed to ProcessOutput is held here, so that no two allocations share an
    // address and each distinct sample is one allocation.
    std::mutex mutex;
    std::vector<ComPtr<IMFSample>> samples;
    DWORD largestBuffer = 0;
    void saw(IMFSample* sample) {
        ComPtr<IMFMediaBuffer> buffer;
        DWORD length = 0;
        if (SUCCEEDED(sample->GetBufferByIndex(0, &buffer))) buffer->GetMaxLength(&length);
        std::lock_guard<std::mutex> lock(mutex);
        largestBuffer = std::max(largestBuffer, length);
        for (const ComPtr<IMFSample>& s : samples)
            if (s.Get() == sample) return;
        samples.emplace_back(sample);
    }
    size_t distinctSamples() {
        std::lock_guard<std::mutex> lock(mutex);
        return samples.size();
    }
    DWORD largestOutputBuffer() {
        std::lock_guard<std::mutex> lock(mutex);
        return largestBuffer;
    }
};

class WrappedDecoder : public ComObject<IMFTransform> {
public:
    WrappedDecoder(ComPtr<IMFTransform> inner, std::shared_ptr<WrapperControl> control)
        : inner_(std::move(inner)), control_(std::move(control)) {
        ++control_->alive;
    }
    ~WrappedDecoder() override { --control_->alive; }

    STDMETHODIMP GetStreamLimits(DWORD* a, DWORD* b, DWORD* c, DWORD* d) override { return inner_->GetStreamLimits(a, b, c, d); }
    STDMETHODIMP GetStreamCount(DWORD* a, DWORD* b) override { return inner_->GetStreamCount(a, b); }
    STDMETHODIMP GetStreamIDs(DWORD a, DWORD* b, DWORD c, DWORD* d) override { return inner_->GetStreamIDs(a, b, c, d); }
    STDMETHODIMP GetInputStreamInfo(DWORD a, MFT_INPUT_STREAM_INFO* b) override { return inner_->GetInputStreamInfo(a, b); }
    STDMETHODIMP GetOutputStreamInfo(DWORD a, MFT_OUTPUT_STREAM_INFO* b) override {
        const HRESULT hr = inner_->GetOutputStreamInfo(a, b);
        if (SUCCEEDED(hr) && (control_->ownWiderSamples > 0 || control_->emptyOutputs)) {
            b->dwFlags |= MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
        }
        return hr;
    }
    STDMETHODIMP GetAttributes(IMFAttributes** a) override { return inner_->GetAttributes(a); }
    STDMETHODIMP GetInputStreamAttributes(DWORD a, IMFAttributes** b) override { return inner_->GetInputStreamAttributes(a, b); }
    STDMETHODIMP GetOutputStreamAttributes(DWORD a, IMFAttributes** b) override { return inner_->GetOutputStreamAttributes(a, b); }
    STDMETHODIMP DeleteInputStream(DWORD a) override { return inner_->DeleteInputStream(a); }
    STDMETHODIMP AddInputStreams(DWORD a, DWORD* b) override { return inner_->AddInputStreams(a, b); }
    STDMETHODIMP GetInputAvailableType(DWORD a, DWORD b, IMFMediaType** c) override { return inner_->GetInputAvailableType(a, b, c); }
    STDMETHODIMP GetOutputAvailableType(DWORD a, DWORD b, IMFMediaType** c) override {
        if (control_->hideNv12) return otherThanNv12(a, b, c);
        const HRESULT hr = inner_->GetOutputAvailableType(a, b, c);
        if (FAILED(hr) || control_->proposeWidth == 0) return hr;
        ComPtr<IMFMediaType> proposed;
        if (FAILED(MFCreateMediaType(&proposed)) || FAILED((*c)->CopyAllItems(proposed.Get()))) return E_FAIL;
        MFSetAttributeSize(proposed.Get(), MF_MT_FRAME_SIZE, control_->proposeWidth, control_->proposeHeight);
        (*c)->Release();
        *c = proposed.Detach();
        return hr;
    }
    STDMETHODIMP SetInputType(DWORD a, IMFMediaType* b, DWORD c) override {
        return control_->refuseInputType && b ? MF_E_INVALIDMEDIATYPE : inner_->SetInputType(a, b, c);
    }
    STDMETHODIMP SetOutputType(DWORD a, IMFMediaType* b, DWORD c) override {
        if (control_->refuseOutputType && b) return MF_E_INVALIDMEDIATYPE;
        const HRESULT hr = control_->proposeWidth != 0 ? S_OK : inner_->SetOutputType(a, b, c);
        if (SUCCEEDED(hr) && b) ++control_->typesSet;
        return hr;
    }
    STDMETHODIMP GetInputCurrentType(DWORD a, IMFMediaType** b) override { return inner_->GetInputCurrentType(a, b); }
    STDMETHODIMP GetOutputCurrentType(DWORD a, IMFMediaType** b) override { return inner_->GetOutputCurrentType(a, b); }
    STDMETHODIMP GetInputStatus(DWORD a, DWORD* b) override { return inner_->GetInputStatus(a, b); }
    STDMETHODIMP GetOutputStatus(DWORD* a) override { return inner_->GetOutputStatus(a); }
    STDMETHODIMP SetOutputBounds(LONGLONG a, LONGLONG b) override { return inner_->SetOutputBounds(a, b); }
    STDMETHODIMP ProcessEvent(DWORD a, IMFMediaEvent* b) override { return inner_->ProcessEvent(a, b); }
    STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE a, ULONG_PTR b) override { return inner_->ProcessMessage(a, b); }
    STDMETHODIMP ProcessInput(DWORD a, IMFSample* b, DWORD c) override {
        if (control_->refuseInputs > 0) {
            --control_->refuseInputs;
            return MF_E_NOTACCEPTING;
        }
        return inner_->ProcessInput(a, b, c);
    }
    STDMETHODIMP ProcessOutput(DWORD flags, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
        if (control_->alwaysStreamChange) {
            ++control_->streamChanges;
            return MF_E_TRANSFORM_STREAM_CHANGE;
        }
        if (control_->streamChangeOnce > 0) {
            --control_->streamChangeOnce;
            return MF_E_TRANSFORM_STREAM_CHANGE;
        }
        if (control_->emptyOutputs) {
            return ++control_->emptyAnswers > 10'000 ? MF_E_TRANSFORM_NEED_MORE_INPUT : S_OK;
        }
        if (buffers[0].pSample) control_->saw(buffers[0].pSample);
        if (control_->ownWiderSamples > 0) return widerSample(flags, buffers[0], status);
        const HRESULT hr = inner_->ProcessOutput(flags, count, buffers, status);
        if (hr == S_OK) ++control_->pictures;
        const int shorten = control_->shortenOutputBy;
        if (hr == S_OK && shorten > 0 && buffers[0].pSample) {
            ComPtr<IMFMediaBuffer> buffer;
            DWORD length = 0;
            if (SUCCEEDED(buffers[0].pSample->GetBufferByIndex(0, &buffer)) && SUCCEEDED(buffer->GetCurrentLength(&length))) {
                buffer->SetCurrentLength(length > DWORD(shorten) ? length - DWORD(shorten) : 0);
            }
        }
        return hr;
    }

private:
    // The system decoder's output types without its NV12 ones.
    HRESULT otherThanNv12(DWORD stream, DWORD index, IMFMediaType** type) {
        for (DWORD i = 0, others = 0;; ++i) {
            ComPtr<IMFMediaType> t;
            const HRESULT hr = inner_->GetOutputAvailableType(stream, i, &t);
            if (FAILED(hr)) return hr;
            GUID subtype{};
            if (SUCCEEDED(t->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFVideoFormat_NV12) continue;
            if (others++ == index) {
                *type = t.Detach();
                return hr;
            }
        }
    }

    // The system decoder's picture, copied into a sample of the wrapper's own.
    HRESULT widerSample(DWORD flags, MFT_OUTPUT_DATA_BUFFER& out, DWORD* status) {
        ComPtr<IMFMediaType> type;
        UINT32 width = 0, height = 0;
        if (FAILED(inner_->GetOutputCurrentType(0, &type)) ||
            FAILED(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height))) {
            return E_FAIL;
        }
        const UINT32 stride = MFGetAttributeUINT32(type.Get(), MF_MT_DEFAULT_STRIDE, width);
        ComPtr<IMFSample> innerSample;
        ComPtr<IMFMediaBuffer> innerBuffer;
        if (FAILED(MFCreateSample(&innerSample)) || FAILED(MFCreateMemoryBuffer(stride * height * 3 / 2, &innerBuffer))) {
            return E_FAIL;
        }
        innerSample->AddBuffer(innerBuffer.Get());
        MFT_OUTPUT_DATA_BUFFER data{};
        data.pSample = innerSample.Get();
        const HRESULT hr = inner_->ProcessOutput(flags, 1, &data, status);
        out.pEvents = data.pEvents;
        out.dwStatus = data.dwStatus;
        if (hr != S_OK) return hr;
        ++control_->pictures;

        ComPtr<IMFMediaBuffer> wide;
        if (FAILED(MFCreate2DMediaBuffer(width + UINT32(control_->ownWiderSamples), height, MAKEFOURCC('N', 'V', '1', '2'),
                                         FALSE, &wide))) {
            return E_FAIL;
        }
        ComPtr<IMF2DBuffer> wide2D;
        BYTE* source = nullptr;
        BYTE* row = nullptr;
        LONG pitch = 0;
        if (FAILED(wide.As(&wide2D)) || FAILED(innerBuffer->Lock(&source, nullptr, nullptr))) return E_FAIL;
        if (SUCCEEDED(wide2D->Lock2D(&row, &pitch))) {
            for (UINT32 y = 0; y < height * 3 / 2; ++y) std::copy_n(source + size_t(y) * stride, width, row + size_t(y) * size_t(pitch));
            wide2D->Unlock2D();
        }
        innerBuffer->Unlock();
        ComPtr<IMFSample> sample;
        if (FAILED(MFCreateSample(&sample)) || FAILED(sample->AddBuffer(wide.Get()))) return E_FAIL;
        out.pSample = sample.Detach();
        return S_OK;
    }

    ComPtr<IMFTransform> inner_;
    std::shared_ptr<WrapperControl> control_;
};

ComPtr<IClassFactory> wrappedDecoderFactory(std::shared_ptr<WrapperControl> control) {
    return FunctionClassFactory::make([control](REFIID iid, void** object) {
        ComPtr<IMFTransform> inner = installedTransform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_H264);
        if (!inner) return E_FAIL;
        ++control->builds;
        return adoptNew<IMFTransform>(new WrappedDecoder(inner, control)).CopyTo(iid, object);
    });
}

// The wrapper registered as this process's H.264 decoder, found before the system's own.
class LocalWrappedDecoder {
public:
    LocalWrappedDecoder()
        : control_(std::make_shared<WrapperControl>()),
          registration_(wrappedDecoderFactory(control_), MFT_CATEGORY_VIDEO_DECODER,
                        {MFMediaType_Video, MFVideoFormat_H264}, {MFMediaType_Video, MFVideoFormat_NV12}) {}
    bool registered() const { return registration_.registered(); }
    WrapperControl& control() { return *control_; }

private:
    std::shared_ptr<WrapperControl> control_;
    LocalTransform registration_;
};

// One picture as the viewer got it: the visible area as tight NV12, and where it lay.
struct Received {
    Bytes nv12;
    DecodedFrame frame;
};

// Host and viewer ends: the pictures' encoder, the wire form, and VideoDecoder.
class Stream {
public:
    enum class Source {
        Encoder,  // VideoEncoder, with the stand-in registered
        Writer,   // the lossless writer itself, where the stand-in cannot be registered
    };

    Stream(int width, int height, Source source, bool fullRangeDefault = false)
        : width_(width), height_(height), writer_(width, height), decoder_(fullRangeDefault) {
        opened_ = source == Source::Writer || encoder_.open(width, height, 60, 8'000'000);
    }
    bool opened() const { return opened_; }

    // Encodes, sends and decodes one picture; false when any step fails.
    bool send(const Bytes& picture) {
        Bytes out;
        bool keyFrame = false;
        if (!encoder_.isOpen()) {
            out = writer_.encode(picture.data(), false);
        } else if (!encoder_.encode(picture.data(), false, out, keyFrame)) {
            return false;
        }
        const EncodedAccessUnit unit = packAccessUnit(out.data(), out.size(), false);
        if (unit.keyFrame) {
            StreamHeader header;
            header.width = uint32_t(width_);
            header.height = uint32_t(height_);
            header.parameterSets = unit.parameterSets;
            if (!decoder_.configure(StreamHeader::encode(header))) return false;
        }
        // Each access unit tagged with its number, from 1.
        return decoder_.decode(unit.payload, unit.keyFrame, [this](const DecodedFrame& f) { collect(f); }, ++sent_);
    }

    std::vector<Received> received;

private:
    void collect(const DecodedFrame& f) {
        Received r{Bytes(size_t(f.width) * size_t(f.height) * 3 / 2), f};
        for (int y = 0; y < f.height; ++y) std::copy_n(f.y + size_t(y) * size_t(f.pitch), f.width, &r.nv12[size_t(y) * size_t(f.width)]);
        uint8_t* uv = r.nv12.data() + size_t(f.width) * size_t(f.height);
        for (int y = 0; y < f.height / 2; ++y) std::copy_n(f.uv + size_t(y) * size_t(f.pitch), f.width, uv + size_t(y) * size_t(f.width));
        received.push_back(std::move(r));
    }

    int width_, height_;
    LosslessH264Writer writer_;
    VideoEncoder encoder_;
    VideoDecoder decoder_;
    bool opened_ = false;
    uint32_t sent_ = 0;
};

// The stand-in encoder feeds the system decoder.
class VideoRoundTrip : public MediaFoundationTest {
protected:
    void SetUp() override {
        MediaFoundationTest::SetUp();
        ASSERT_TRUE(standIn_.registered());
    }

private:
    LocalStandInEncoder standIn_;
};

// The system decoder behind the wrapper.
class Decoder : public MediaFoundationTest {
protected:
    void SetUp() override {
        MediaFoundationTest::SetUp();
        ASSERT_TRUE(wrapped_.registered());
    }
    WrapperControl& wrapper() { return wrapped_.control(); }

private:
    LocalWrappedDecoder wrapped_;
};

// The system decoder holds several pictures back; distinct pictures are sent, then filler pictures
// until all of them are out, at most 32 inputs in all. Its output is padded to whole macroblocks:
// the frame shows the visible part, with the chroma plane below the padding.
void expectRoundTrip(int width, int height, int distinct, bool neutralChroma, int32_t pitch, int32_t outputHeight) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    Stream stream(width, height, Stream::Source::Encoder);
    ASSERT_TRUE(stream.opened());
    std::vector<Bytes> sent;
    for (int i = 0; i < 32 && stream.received.size() < size_t(distinct); ++i) {
        sent.push_back(nv12Pattern(width, height, i, neutralChroma));
        ASSERT_TRUE(stream.send(sent.back())) << i;
    }
    ASSERT_GE(stream.received.size(), size_t(distinct));
    for (size_t i = 0; i < stream.received.size(); ++i) {
        const DecodedFrame& f = stream.received[i].frame;
        EXPECT_EQ(f.width, width);
        EXPECT_EQ(f.height, height);
        EXPECT_EQ(f.pitch, pitch);
        EXPECT_EQ(f.uv, f.y + size_t(pitch) * size_t(outputHeight));
        EXPECT_TRUE(stream.received[i].nv12 == sent[i]) << "picture " << i;
        // Held back by the decoder, the picture still names its own access unit.
        EXPECT_EQ(f.tag, uint32_t(i + 1)) << "picture " << i;
    }
}

TEST_F(VideoRoundTrip, GivesBackTheEncodedPicturesExactlyAndInOrder) {
    expectRoundTrip(64, 64, 10, false, 64, 64);
    expectRoundTrip(100, 64, 10, false, 112, 64);  // 100 visible of 112
    expectRoundTrip(320, 240, 10, false, 320, 240);
}

// The system decoder is exact at this size only on neutral chroma.
TEST_F(VideoRoundTrip, GivesBackAFullHdStreamFromAPaddedOutput) {
    expectRoundTrip(1920, 1080, 3, true, 1920, 1088);
}

// The system decoder's output states no range: the viewer's default decides.
TEST_F(VideoRoundTrip, PicturesWithoutAStatedRangeTakeTheDefault) {
    for (bool fullRange : {false, true}) {
        Stream stream(64, 64, Stream::Source::Encoder, fullRange);
        ASSERT_TRUE(stream.opened());
        for (int i = 0; i < 32 && stream.received.empty(); ++i) ASSERT_TRUE(stream.send(nv12Pattern(64, 64, i)));
        ASSERT_FALSE(stream.received.empty());
        EXPECT_EQ(stream.received[0].frame.fullRange, fullRange);
    }
}

Bytes header(uint8_t codec, uint32_t width, uint32_t height, std::vector<Bytes> parameterSets) {
    StreamHeader h;
    h.codec = codec;
    h.width = width;
    h.height = height;
    h.parameterSets = std::move(parameterSets);
    return StreamHeader::encode(h);
}

// A real stream's parameter sets, so the system decoder takes the header.
std::vector<Bytes> parameterSets(int width, int height) {
    const LosslessH264Writer writer(width, height);
    return {writer.sps(), writer.pps()};
}

TEST_F(Decoder, RebuildsTheTransformOnlyForAChangedHeader) {
    const std::vector<Bytes> sets = parameterSets(64, 64);
    ASSERT_EQ(sets.size(), 2u);
    VideoDecoder decoder;
    ASSERT_TRUE(decoder.configure(header(1, 64, 64, sets)));
    ASSERT_TRUE(decoder.configure(header(1, 64, 64, sets)));
    EXPECT_EQ(wrapper().builds, 1);
    ASSERT_TRUE(decoder.configure(header(1, 64, 48, sets)));  // only the height differs
    EXPECT_EQ(wrapper().builds, 2);
    decoder.close();  // forgets the header: the same one builds again
    ASSERT_TRUE(decoder.configure(header(1, 64, 48, sets)));
    EXPECT_EQ(wrapper().builds, 3);
}

TEST_F(Decoder, RefusesShortAndOversizedHeadersWithoutBuildingOrLogging) {
    const Bytes good = header(1, 64, 64, parameterSets(64, 64));
    const Bytes cases[] = {
        Bytes(good.begin(), good.begin() + 10),      // ends before the count
        Bytes(good.begin(), good.end() - 1),         // the last set cut off
        header(1, 100'000, 100'000, {}),             // w x h overflows 32 bits
        header(1, 16'385, 16, {}),                   // too wide
        header(1, 8'192, 4'353, {}),                 // too many pixels in all
    };
    LogCapture log;
    for (const Bytes& h : cases) {
        VideoDecoder decoder;
        ASSERT_TRUE(decoder.configure(good));
        EXPECT_FALSE(decoder.configure(h));
        // The old stream is closed, not kept: frames fail until a header is taken.
        EXPECT_FALSE(decoder.decode(Bytes{0, 0, 0, 2, 0x65, 0x88}, true, [](const DecodedFrame&) {}));
    }
    EXPECT_EQ(wrapper().builds, int(std::size(cases)));
    EXPECT_EQ(log.text(), "");
}

TEST_F(Decoder, HevcWithoutADecoderIsRefusedAndLogged) {
    LogCapture log;
    VideoDecoder decoder;
    EXPECT_FALSE(decoder.configure(header(2, 64, 64, {})));
    EXPECT_NE(log.text().find(" 디코더 없음\n"), std::string::npos) << log.text();
}

TEST_F(Decoder, DecodeFailsWithoutAStreamOrAccessUnit) {
    VideoDecoder decoder;
    EXPECT_FALSE(decoder.decode(Bytes{0, 0, 0, 1, 0x65}, true, [](const DecodedFrame&) {}));
    ASSERT_TRUE(decoder.configure(header(1, 64, 64, parameterSets(64, 64))));
    // No NAL unit in it (a zero length ends the payload), and no parameter sets in front.
    EXPECT_FALSE(decoder.decode(Bytes{0, 0, 0, 0, 0x65}, false, [](const DecodedFrame&) {}));
    EXPECT_FALSE(decoder.decode(Bytes{}, false, [](const DecodedFrame&) {}));
}

TEST_F(VideoRoundTrip, AnAcceptedInputWithoutAPictureCallsNothing) {
    Stream stream(64, 64, Stream::Source::Encoder);
    ASSERT_TRUE(stream.opened());
    EXPECT_TRUE(stream.send(nv12Pattern(64, 64, 0)));
    EXPECT_TRUE(stream.received.empty());
}

// A decoder that keeps changing its stream must not hold the render thread.
TEST_F(Decoder, EndlessStreamChangesFailTheDecode) {
    wrapper().alwaysStreamChange = true;
    Stream stream(64, 64, Stream::Source::Writer);
    ASSERT_TRUE(stream.opened());
    EXPECT_FALSE(stream.send(nv12Pattern(64, 64, 0)));
    EXPECT_EQ(wrapper().streamChanges, 5);  // four are allowed per drain
}

// A decoder that cannot take a picture yet is drained and given it again; one that still cannot
// take it fails the decode.
TEST_F(Decoder, DrainsWhenTheDecoderIsFullAndSendsThePictureAgain) {
    Stream stream(64, 64, Stream::Source::Writer);
    ASSERT_TRUE(stream.opened());
    std::vector<Bytes> sent;
    for (int i = 0; i < 32 && stream.received.size() < 6; ++i) {
        sent.push_back(nv12Pattern(64, 64, i));
        if (i == 2 || i == 9) wrapper().refuseInputs = 1;
        ASSERT_TRUE(stream.send(sent.back())) << i;
        EXPECT_EQ(wrapper().refuseInputs, 0);
    }
    ASSERT_GE(stream.received.size(), 6u);
    for (size_t i = 0; i < stream.received.size(); ++i) EXPECT_TRUE(stream.received[i].nv12 == sent[i]) << i;

    wrapper().refuseInputs = 2;
    EXPECT_FALSE(stream.send(nv12Pattern(64, 64, 99)));
}

// A decoder that hands out its own samples in two-dimensional buffers: the rows lie at the
// buffer's pitch, not the output type's stride.
TEST_F(Decoder, ReadsTwoDimensionalBuffersAtTheirOwnPitch) {
    wrapper().ownWiderSamples = 32;
    Stream stream(64, 64, Stream::Source::Writer);
    ASSERT_TRUE(stream.opened());
    std::vector<Bytes> sent;
    for (int i = 0; i < 32 && stream.received.size() < 3; ++i) {
        sent.push_back(nv12Pattern(64, 64, i));
        ASSERT_TRUE(stream.send(sent.back()));
    }
    ASSERT_GE(stream.received.size(), 3u);
    for (size_t i = 0; i < stream.received.size(); ++i) {
        const DecodedFrame& f = stream.received[i].frame;
        EXPECT_GE(f.pitch, 96);
        EXPECT_EQ(f.uv, f.y + size_t(f.pitch) * 64);
        EXPECT_TRUE(stream.received[i].nv12 == sent[i]) << i;
    }
}

// A picture whose buffer is shorter than its planes need is skipped, not read past its end; the
// stream goes on.
TEST_F(Decoder, SkipsPicturesTheBufferCannotHold) {
    Stream stream(64, 64, Stream::Source::Writer);
    ASSERT_TRUE(stream.opened());
    std::vector<Bytes> sent;
    wrapper().shortenOutputBy = 1;
    for (int i = 0; i < 32 && wrapper().pictures < 2; ++i) {
        sent.push_back(nv12Pattern(64, 64, i));
        ASSERT_TRUE(stream.send(sent.back()));
    }
    ASSERT_EQ(wrapper().pictures, 2);
    EXPECT_TRUE(stream.received.empty());
    wrapper().shortenOutputBy = 0;
    for (int i = 0; i < 32 && stream.received.empty(); ++i) {
        sent.push_back(nv12Pattern(64, 64, int(sent.size())));
        ASSERT_TRUE(stream.send(sent.back()));
    }
    ASSERT_FALSE(stream.received.empty());
    EXPECT_TRUE(stream.received[0].nv12 == sent[2]);  // the two short ones were skipped
}

// The decoder's pictures follow the parameter sets, which the header's size does not bind: an
// output type beyond a header's limits ends the stream before any buffer is sized from it, both
// when the decoder is set up and when it changes its stream on a later picture.
TEST_F(Decoder, AnOutputTypeBeyondTheHeaderLimitsEndsTheStreamWithoutALargeBuffer) {
    const struct {
        UINT32 width, height;
    } cases[] = {{16'385, 16}, {8'192, 4'353}, {65'536, 65'536}};
    const Bytes good = header(1, 64, 64, parameterSets(64, 64));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        wrapper().proposeWidth = c.width;
        wrapper().proposeHeight = c.height;
        VideoDecoder decoder;
        EXPECT_FALSE(decoder.configure(good));
        EXPECT_FALSE(decoder.decode(Bytes{0, 0, 0, 2, 0x65, 0x88}, true, [](const DecodedFrame&) {}));
        wrapper().proposeWidth = 0;

        Stream stream(64, 64, Stream::Source::Writer);
        for (int i = 0; i < 32 && stream.received.empty(); ++i) ASSERT_TRUE(stream.send(nv12Pattern(64, 64, i)));
        ASSERT_FALSE(stream.received.empty());
        wrapper().proposeWidth = c.width;
        wrapper().proposeHeight = c.height;
        wrapper().streamChangeOnce = 1;
        const size_t pictures = stream.received.size();
        EXPECT_FALSE(stream.send(nv12Pattern(64, 64, 40)));
        EXPECT_FALSE(stream.send(nv12Pattern(64, 64, 41)));  // ended: no decoder until a new header
        EXPECT_EQ(stream.received.size(), pictures);
        wrapper().proposeWidth = 0;
        wrapper().streamChangeOnce = 0;
        EXPECT_LE(wrapper().largestOutputBuffer(), DWORD(1) << 20);
    }
}

// The output buffer is made once per output type, not for every drain pass.
TEST_F(Decoder, MakesOneOutputBufferPerOutputType) {
    Stream stream(64, 64, Stream::Source::Writer);
    std::vector<Bytes> sent;
    for (int i = 0; i < 32 && stream.received.size() < 10; ++i) {
        sent.push_back(nv12Pattern(64, 64, i));
        ASSERT_TRUE(stream.send(sent.back()));
    }
    ASSERT_GE(stream.received.size(), 10u);
    for (size_t i = 0; i < stream.received.size(); ++i) EXPECT_TRUE(stream.received[i].nv12 == sent[i]) << i;
    EXPECT_GE(wrapper().typesSet, 1);
    EXPECT_LE(wrapper().distinctSamples(), size_t(wrapper().typesSet));
}

// A decoder that keeps answering success without a sample must not hold the render thread.
TEST_F(Decoder, ADrainOfEmptyAnswersIsBounded) {
    wrapper().emptyOutputs = true;
    Stream stream(64, 64, Stream::Source::Writer);
    EXPECT_FALSE(stream.send(nv12Pattern(64, 64, 0)));
    EXPECT_GT(wrapper().emptyAnswers, 0);
    EXPECT_LT(wrapper().emptyAnswers, 10'000);
}

// The messages of a log, without their times.
std::vector<std::string> loggedMessages(const std::string& text) {
    std::vector<std::string> messages;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        messages.push_back(end - start > 20 ? text.substr(start + 20, end - start - 20) : std::string());
    }
    return messages;
}

// Setting up the encoder or the decoder: each step that fails logs its own line, exactly and
// alone, and leaves the codec closed; once the step works again the same object opens.
using CodecSetUp = MediaFoundationTest;

TEST_F(CodecSetUp, EachFailedStepLogsItsLineAndLeavesTheCodecClosed) {
    enum class DecoderFault { None, RefuseInputType, HideNv12, RefuseOutputType };  // the wrapper's
    struct Case {
        std::string line;
        bool encoder;
        bool nothingInstalled;  // no transform of the kind at all
        StandInEncoderKnobs encoderKnobs;
        DecoderFault decoderFault = DecoderFault::None;
    };
    const Case cases[] = {
        {"H.264 인코더 없음", true, true, {}},
        {"인코더 출력 형식 실패 1920x1080", true, false, {.refuseOutputType = true}},
        {"인코더 입력 형식 실패", true, false, {.refuseInputType = true}},
        {"디코더 없음", false, true, {}},  // HEVC: this platform has no decoder for it
        {"디코더 입력 형식 실패", false, false, {}, DecoderFault::RefuseInputType},
        {"디코더 NV12 없음", false, false, {}, DecoderFault::HideNv12},
        {"디코더 NV12 없음", false, false, {}, DecoderFault::RefuseOutputType},
    };
    const Bytes h264 = header(1, 64, 64, parameterSets(64, 64));
    const Bytes hevc = header(2, 64, 64, {});
    const Bytes keyFrame{0, 0, 0, 2, 0x65, 0x88};
    const auto nothing = [](const DecodedFrame&) {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<std::string> logged;
        if (c.encoder) {
            std::optional<WithoutInstalledStandIns> bare;
            std::optional<LocalStandInEncoder> standIn;
            if (c.nothingInstalled) {
                bare.emplace();
            } else {
                standIn.emplace();
                ASSERT_TRUE(standIn->registered());
                standIn->state().setKnobs(c.encoderKnobs);
            }
            VideoEncoder encoder;
            {
                LogCapture log;
                EXPECT_FALSE(encoder.open(1920, 1080, 30, 8'000'000));
                logged = loggedMessages(log.text());
            }
            EXPECT_FALSE(encoder.isOpen());
            Bytes out;
            bool key = false;
            EXPECT_FALSE(encoder.encode(Bytes(1920 * 1080 * 3 / 2).data(), false, out, key));
            if (standIn) {
                standIn->state().setKnobs({});
                EXPECT_TRUE(encoder.open(1920, 1080, 30, 8'000'000));
            }
        } else {
            LocalWrappedDecoder wrapped;
            ASSERT_TRUE(wrapped.registered());
            wrapped.control().refuseInputType = c.decoderFault == DecoderFault::RefuseInputType;
            wrapped.control().hideNv12 = c.decoderFault == DecoderFault::HideNv12;
            wrapped.control().refuseOutputType = c.decoderFault == DecoderFault::RefuseOutputType;
            VideoDecoder decoder;
            {
                LogCapture log;
                EXPECT_FALSE(decoder.configure(c.nothingInstalled ? hevc : h264));
                logged = loggedMessages(log.text());
            }
            EXPECT_EQ(wrapped.control().alive, 0);  // the transform was let go at once
            EXPECT_FALSE(decoder.decode(keyFrame, true, nothing));
            if (!c.nothingInstalled) {
                wrapped.control().refuseInputType = false;
                wrapped.control().hideNv12 = false;
                wrapped.control().refuseOutputType = false;
                EXPECT_TRUE(decoder.configure(h264));
            }
        }
        EXPECT_EQ(logged, std::vector<std::string>{c.line});
    }
}

}  // namespace

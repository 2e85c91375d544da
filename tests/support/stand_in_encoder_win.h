// A stand-in H.264 encoder transform for a platform without one (Wine has none): NV12 in, one
// access unit of the lossless writer out per picture, so a decoder gives the pictures back
// exactly. It behaves as the program expects of a software encoder: synchronous and free-threaded,
// ICodecAPI for its settings, the output type before the input type, no stream identifiers, no
// samples of its own, one picture held at a time. It records what it is told, and knobs make it
// misbehave the ways real encoders may.
//
// Tests register it in their own process (LocalStandInEncoder); the stand-in codecs' in-process
// server (tests/support/codecs) registers it in the test's Wine prefix for whole program runs.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "support/local_transform_win.h"

// The class under which the in-process server registers the stand-in.
extern const CLSID CLSID_StandInH264Encoder;
// What it takes and gives: video NV12 in, video H.264 out.
extern const MFT_REGISTER_TYPE_INFO kStandInEncoderInput;
extern const MFT_REGISTER_TYPE_INFO kStandInEncoderOutput;

struct StandInEncoderKnobs {
    enum class StreamChange { Never, Once, Always };

    UINT32 maxWidth = 0, maxHeight = 0;  // output types above this size are refused (0: any size)
    bool refuseOutputType = false;      // SetOutputType refuses every type
    bool refuseInputType = false;       // SetInputType refuses every type
    bool holdBack = false;              // output lags one picture behind (it then holds two)
    StreamChange streamChange = StreamChange::Never;  // Once: when the first picture is ready
    bool failAvailableType = false;     // GetOutputAvailableType fails
    bool failProcessOutput = false;     // ProcessOutput fails
    bool ignoreForceKeyFrame = false;   // CODECAPI_AVEncVideoForceKeyFrame changes nothing
    // ProcessOutput answers S_OK and writes nothing; after 10,000 such answers it needs more
    // input, so that a drain without a bound still ends.
    bool emptyOutputs = false;
};

// What the transforms of one state were told, in order.
struct StandInEncoderRecord {
    struct Setting {
        GUID api;
        VARTYPE type;
        uint64_t value;  // VT_BOOL as 1 or 0
    };
    struct TypeSet {
        bool output;  // else the input type
        Microsoft::WRL::ComPtr<IMFMediaType> type;  // a copy (null when the type was cleared)
        HRESULT result;
    };
    struct Input {
        LONGLONG time, duration;
        HRESULT result;  // S_OK or why it was refused
    };

    int instances = 0;  // transforms made
    std::vector<MFT_MESSAGE_TYPE> messages;
    std::vector<Setting> settings;
    std::vector<TypeSet> types;
    std::vector<Input> inputs;
    int streamChanges = 0;  // MF_E_TRANSFORM_STREAM_CHANGE answers
    int emptyAnswers = 0;   // S_OK answers without output
};

// Knobs and record shared by a class factory and every transform it makes; thread-safe.
class StandInEncoderState {
public:
    explicit StandInEncoderState(bool recording = true) : recording_(recording) {}

    StandInEncoderKnobs knobs() const;
    void setKnobs(const StandInEncoderKnobs& knobs);
    StandInEncoderRecord record() const;  // a copy

    // Used by the transform.
    template <class F>
    void note(F&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (recording_) change(record_);
    }

private:
    mutable std::mutex mutex_;
    const bool recording_;
    StandInEncoderKnobs knobs_;
    StandInEncoderRecord record_;
};

// Makes stand-in transforms that share `state`.
Microsoft::WRL::ComPtr<IClassFactory> makeStandInEncoderFactory(std::shared_ptr<StandInEncoderState> state);

// The stand-in registered as a video encoder of this process while the object lives (one local
// transform at a time, see LocalTransform).
class LocalStandInEncoder {
public:
    LocalStandInEncoder();
    LocalStandInEncoder(const LocalStandInEncoder&) = delete;
    LocalStandInEncoder& operator=(const LocalStandInEncoder&) = delete;

    bool registered() const { return registration_.registered(); }
    StandInEncoderState& state() { return *state_; }

private:
    std::shared_ptr<StandInEncoderState> state_;
    LocalTransform registration_;
};

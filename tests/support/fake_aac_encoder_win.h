// A stand-in AAC encoder transform (the system has none under Wine): 16-bit PCM in, one raw AAC
// frame out per 1024 input frames: the silent frame for the channel count, or the next of the
// frames the test gives. Like the system's encoder it wants its output type before its input type
// and allocates no output samples. It records both types, the messages and every input (time,
// duration, PCM). Tests register it in their own process for CLSID_AACMFTEncoder
// (registerFakeAacEncoder in audio_fakes_win.h); the stand-in codecs' in-process server serves it
// too, so that the program itself finds an AAC encoder in the test's Wine prefix.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the stand-in does and what it saw; shared by every encoder made from one registration.
struct FakeAacEncoderLog {
    // An audio media type as set: each number -1 when the attribute is missing.
    struct Type {
        GUID major = GUID_NULL, subtype = GUID_NULL;
        int64_t bits = -1, rate = -1, channels = -1, avgBytes = -1, blockAlign = -1, payloadType = -1;
    };
    struct Input {
        LONGLONG time = -1, duration = -1;  // -1: the sample had none
        std::vector<int16_t> pcm;
    };

    std::mutex mutex;
    // Knobs, set before the encoder is made.
    HRESULT outputTypeResult = S_OK;   // a failure: SetOutputType refuses every type
    HRESULT inputTypeResult = S_OK;
    int refuseInputs = 0;              // the next inputs answered MF_E_NOTACCEPTING
    std::vector<std::vector<uint8_t>> frames;  // emitted in turn; the silent frame when empty or used up
    bool keepInputs = true;            // false: inputs are not recorded (a long run keeps no PCM)
    bool providesSamples = false;      // brings its own output samples (the caller releases them)
    // Records.
    int made = 0, live = 0;
    std::vector<std::string> calls;  // "SetOutputType", "SetInputType", "Message <n>", "ProcessInput" ... in order
    Type outputType, inputType;
    std::vector<Input> inputs;
    size_t framesOut = 0;
    std::vector<Microsoft::WRL::ComPtr<IMFSample>> samplesGiven;  // with providesSamples
};

// A class factory whose encoders all report to `log` (shared with the caller).
Microsoft::WRL::ComPtr<IClassFactory> makeFakeAacEncoderFactory(std::shared_ptr<FakeAacEncoderLog> log);

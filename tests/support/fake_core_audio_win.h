// A stand-in for loopback capture of the sound output (the system has none under Wine): while a
// FakeCoreAudio lives, CoCreateInstance of the device enumerator on any thread of the
// multithreaded apartment gets enumerator → default device → audio client (with the test's mix
// format; it records how it was initialised) → capture client serving the packets the test
// queues, from any thread. Any step can be made to fail.
//
// While it is registered, the sound output (waveOut) finds this enumerator too and plays nothing:
// create the objects under test, then call revoke() before anything plays sound.
#pragma once

#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "support/class_registration_win.h"

// The bytes of a mix format. Float samples with `extensible` become WAVE_FORMAT_EXTENSIBLE with
// the float sub-format (what the system mixes in); integer samples with `extensible` get the PCM
// sub-format.
enum class MixSamples { Float, Int };
std::vector<uint8_t> makeMixFormat(int rate, int channels, int bits, MixSamples samples, bool extensible);

class FakeCoreAudio {
public:
    enum class Step {
        CreateEnumerator, DefaultEndpoint, Activate, MixFormat, Initialize, CaptureService, Start,
        NextPacketSize, GetBuffer,
    };
    struct Packet {
        uint32_t frames = 0;
        DWORD flags = 0;             // AUDCLNT_BUFFERFLAGS_SILENT and the like
        std::vector<uint8_t> data;   // frames x the mix format's block; may be empty with SILENT
    };
    struct Initialized {
        AUDCLNT_SHAREMODE shareMode;
        DWORD flags;
        REFERENCE_TIME duration, period;
        std::vector<uint8_t> format;
    };

    // Registers the class object; call on a thread of the multithreaded apartment.
    explicit FakeCoreAudio(std::vector<uint8_t> mixFormat);
    ~FakeCoreAudio();
    HRESULT registration() const { return registration_->result(); }
    // Objects made so far keep working; new ones come from the system again.
    void revoke() { registration_->revoke(); }

    // The step answers `hr` from now on; NextPacketSize and GetBuffer only `times` times.
    void fail(Step step, HRESULT hr = E_FAIL, int times = -1);
    void push(Packet packet);

    int enumeratorsMade() const;
    std::optional<Initialized> initialized() const;  // the last client's Initialize
    bool started() const;
    bool stopped() const;
    size_t packetsLeft() const;            // queued and not yet released
    std::vector<uint32_t> released() const;  // frame counts given to ReleaseBuffer
    int liveObjects() const;               // enumerators, devices, clients and capture clients

    struct State;

private:
    std::shared_ptr<State> state_;
    std::unique_ptr<ClassRegistration> registration_;
};

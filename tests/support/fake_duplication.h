// A scripted stand-in for the system's desktop duplication, for the capturer's tests: while one
// exists it answers every "duplicate the output" of the process. Frames are real textures made on
// the capturer's own device; the rest is the system's Direct3D.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

// One answer of AcquireNextFrame.
struct DuplicationStep {
    enum class Kind { Timeout, Error, PointerOnly, Frame };
    Kind kind = Kind::Timeout;
    HRESULT error = S_OK;
    int width = 0, height = 0;
    DXGI_FORMAT format = DXGI_FORMAT_B8G8R8A8_UNORM;
    std::vector<uint8_t> pixels;  // width x height x 4 bytes, pitch width x 4

    static DuplicationStep timeout() { return {}; }
    static DuplicationStep failure(HRESULT hr);
    static DuplicationStep pointerOnly();
    static DuplicationStep frame(int width, int height, std::vector<uint8_t> pixels,
                                 DXGI_FORMAT format = DXGI_FORMAT_B8G8R8A8_UNORM);
};

class FakeDuplication {
public:
    struct State {
        DXGI_OUTDUPL_DESC desc{};  // what GetDesc answers
        std::deque<DuplicationStep> script;  // an empty script times out
        int failuresLeft = 0;  // duplicating fails this many more times...
        HRESULT failure = E_ACCESSDENIED;  // ...with this
        int duplications = 0;  // duplications handed out
        int acquired = 0, released = 0;
        int acquiredWhileHeld = 0;  // acquisitions before the previous frame was released
        int alive = 0;  // duplication objects not yet destroyed
        bool held = false;
    };

    // Installs the stand-in; the duplication describes a width x height BGRA output, not turned.
    FakeDuplication(int width, int height);
    ~FakeDuplication();  // removes it
    FakeDuplication(const FakeDuplication&) = delete;
    FakeDuplication& operator=(const FakeDuplication&) = delete;

    State& state() { return *state_; }
    void push(DuplicationStep step) { state_->script.push_back(std::move(step)); }
    void failNext(int times, HRESULT hr) {
        state_->failuresLeft = times;
        state_->failure = hr;
    }

private:
    std::shared_ptr<State> state_;
};

// A width x height BGRA picture whose every pixel differs from its neighbours.
std::vector<uint8_t> patternPixels(int width, int height, uint8_t seed);

// The sound output for the player's tests. scripts/test runs a sound server with one silent sink
// and records what reaches it into the raw file named by TAVREL_SINK_RECORDING (16-bit
// little-endian, 48000 Hz, stereo). Run by hand without a server, the tests that need the output
// are skipped; under scripts/test a missing output fails them.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "media/audio.h"

inline const char* sinkRecording() { return std::getenv("TAVREL_SINK_RECORDING"); }

// What the viewer's receive thread does with a format message: reads it and hands the player
// what it read; one that cannot be read never reaches the player.
inline void applyFormatMessage(AudioPlayer& player, const std::string& text) {
    AudioFormat format;
    if (readAudioFormat(text, format)) player.setFormat(format);
}

#define REQUIRE_SOUND_OUTPUT()                                                                   \
    do {                                                                                         \
        if (waveOutGetNumDevs() == 0) {                                                          \
            if (sinkRecording()) FAIL() << "the sound server of scripts/test is not reachable"; \
            GTEST_SKIP() << "no sound output (scripts/test starts a sound server)";              \
        }                                                                                        \
    } while (0)

// The viewer's receive thread. The player starts COM on the thread that applies its first format
// and keeps it there, so each test gives it a thread of its own rather than the test runner's.
inline void onReceiveThread(const std::function<void()>& body) { std::thread(body).join(); }

// How a host session is made: its waits, its options and the factory the server admits viewers
// through. Apart from the session's header, so that the server can be given host sessions without
// knowing the session's insides.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/viewer_session.h"

class ConfigStore;
class FrameTrace;
class SessionSystem;

// The waits of a session. Tests shorten them; the product uses the defaults.
struct HostSessionTiming {
    int statusPassMs = 1000;        // one pass of the status poller
    int setupRetryMs = 2000;        // after a failed capture set-up
    int setupWaitMs = 50;           // while a set-up is due later and nothing streams
    int restoreWaitMs = 200;        // after restoring a minimised window for streaming
    int64_t grabRetryNs = 300'000'000;     // set-up after a failed grab
    int64_t windowMoveNs = 300'000'000;    // set-up after a window left its display or changed size
    int64_t viewSizeNs = 400'000'000;      // set-up after the viewer's area changed
    int64_t focusNs = 150'000'000;         // set-up after the viewer picked a window
    int64_t windowCheckNs = 400'000'000;
    int64_t caretNs = 350'000'000;
    int64_t cursorNs = 50'000'000;
    int64_t rateStepNs = 1'000'000'000;
    int64_t frameExpiryNs = 3'000'000'000;  // an unacknowledged frame stops counting
    int64_t uploadFolderNs = 60'000'000'000;  // how long a chosen upload folder waits for its batch
};

struct HostSessionOptions {
    ConfigStore* store = nullptr;            // the process-wide store when null
    std::shared_ptr<SessionSystem> system;   // the machine's when null
    HostSessionTiming timing;
    std::function<std::wstring()> receiveFolder;  // received files' default folder; Downloads when empty
    // Where sent pictures are traced; the process's trace, from TAVREL_FRAME_TRACE, when null.
    FrameTrace* frameTrace = nullptr;
    // Called with each viewer message that passed the session's stop check, before it is routed
    // (tests hold a message there while close runs). May be empty.
    std::function<void(unsigned char type)> admitted;
};

// Makes host sessions with these options for the server's admissions.
SessionFactory hostSessionFactory(HostSessionOptions options = {});

// The acceptance run's relay: the tests' relay on 127.0.0.1, as a program of its own that the run
// script starts beside the two Wine prefixes. It writes its port into a file once it listens and
// every hello it receives, one JSON line each, into a log that the script and the driver read
// (the host's access ID comes from there, as the relay sees it registered). It ends on SIGTERM or
// SIGINT, or after its lifetime at the latest, so that a run cut short leaves nothing behind.
//
// It declines hole-punching rendezvous, as for a host behind a router that cannot be punched: on
// loopback under Wine a punch sometimes gets through and the listening port it hands out always
// answers, which would leave the route to chance; declined, the viewer goes through the relay.
//
//   e2e_relay <secret> <port file> <hello log> [<lifetime seconds>]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/util.h"
#include "support/test_relay.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: e2e_relay <secret> <port file> <hello log> [<lifetime seconds>]\n");
        return 2;
    }
    const int lifetimeSeconds = argc > 4 ? std::atoi(argv[4]) : 600;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    TestRelay relay(argv[1]);
    relay.setRole("punch", [](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
        TestRelay::refuse(*link, "no answer");
    });
    if (!relay.start()) {
        std::fprintf(stderr, "e2e_relay: could not listen on 127.0.0.1\n");
        return 1;
    }
    {
        // Written whole, then renamed: the script never reads half a port.
        const std::string temporary = std::string(argv[2]) + ".tmp";
        std::ofstream(temporary) << relay.port() << "\n";
        std::rename(temporary.c_str(), argv[2]);
    }
    std::ofstream log(argv[3], std::ios::app);
    size_t logged = 0;
    const int64_t end = nowNanos() + int64_t(lifetimeSeconds) * 1000000000;
    while (!stopRequested && nowNanos() < end) {
        const std::vector<Json> hellos = relay.hellos();
        for (; logged < hellos.size(); ++logged) log << hellos[logged].dump() << "\n";
        log.flush();
        sleepMs(50);
    }
    relay.stop();
    return 0;
}

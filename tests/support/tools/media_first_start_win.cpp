// A fresh process in which several threads ask for Media Foundation at the same moment, before
// anything else in the process has started it. The start-up is observed through the platform's
// own count: work queues can be had only while it is started, and each start-up needs a shutdown
// of its own. Writes, one per line:
//   before <hr>              allocating a work queue before any start-up
//   threads <n> of <total>   threads that could allocate one as soon as their call returned
//   after one shutdown <hr>  allocating one after a single MFShutdown
// Exit code 0 when it ran.
#include <windows.h>
#include <objbase.h>
#include <mfapi.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <latch>
#include <thread>
#include <vector>

#include "media/mf.h"

namespace {

HRESULT allocateWorkQueue() {
    DWORD queue = 0;
    const HRESULT hr = MFAllocateWorkQueue(&queue);
    if (SUCCEEDED(hr)) MFUnlockWorkQueue(queue);
    return hr;
}

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF, as the test reads them
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    std::printf("before %08lx\n", static_cast<unsigned long>(allocateWorkQueue()));

    constexpr int kThreads = 8;
    std::latch go(kThreads);
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            go.arrive_and_wait();
            ensureMediaFoundation();
            if (SUCCEEDED(allocateWorkQueue())) ++started;
            if (SUCCEEDED(com)) CoUninitialize();
        });
    }
    for (auto& t : threads) t.join();
    std::printf("threads %d of %d\n", started.load(), kThreads);

    MFShutdown();
    std::printf("after one shutdown %08lx\n", static_cast<unsigned long>(allocateWorkQueue()));
    std::fflush(stdout);
    CoUninitialize();
    return 0;
}

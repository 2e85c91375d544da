// The wake command's Windows half: balloons, and the worker thread with its COM apartment.
#include "app/wake.h"

#include <objbase.h>

#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "app/tray.h"
#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/text.h"

namespace {

void wakeWorker(const std::vector<Peer>& senders, const Json& wake, const Peer& target, const WakeErrand& errand) {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::string text = kWakeNobodyText;
    try {
        text = runWake(senders, wake, target, loadDeviceKey(), errand);
    } catch (const std::exception&) {
        // Only the key's random source can throw here; the user still hears back.
    }
    if (SUCCEEDED(com)) CoUninitialize();
    postTrayCall([text] { showBalloon(utf8ToWide(kWakeResultTitle), utf8ToWide(text)); });
}

}  // namespace

void wakeHost(const Peer& target, WakeErrand errand) {
    WakePlan plan = planWake(configStore().get(), target);
    showBalloon(utf8ToWide(plan.title), utf8ToWide(plan.text));
    if (plan.senders.empty()) return;
    try {
        std::thread(wakeWorker, std::move(plan.senders), target.wake, target, std::move(errand)).detach();
    } catch (const std::system_error&) {
        showBalloon(utf8ToWide(kWakeResultTitle), utf8ToWide(kWakeNobodyText));
    }
}

void wakeHost(const Peer& target) { wakeHost(target, sessionWakeErrand()); }

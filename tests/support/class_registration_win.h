// A class object registered in this process for the tests' stand-ins, and a thread of the
// multithreaded apartment to run a test's media calls on.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "support/class_factory_win.h"

// A class object registered for `clsid` in the multithreaded apartment until revoked or destroyed:
// CoCreateInstance on any thread of that apartment finds it. A thread of its own holds the
// registration (and so the apartment), whatever the apartment of the test's own thread: a window
// or clipboard test may have left that one single-threaded, where a registration is seen by that
// thread alone.
class ClassRegistration {
public:
    ClassRegistration(const CLSID& clsid, IClassFactory* factory) {
        Microsoft::WRL::ComPtr<IClassFactory> held(factory);
        std::unique_lock<std::mutex> lock(mutex_);
        thread_ = std::thread([this, clsid, held] {
            const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            DWORD cookie = 0;
            const HRESULT hr = SUCCEEDED(com) ? CoRegisterClassObject(clsid, held.Get(), CLSCTX_INPROC_SERVER,
                                                                       REGCLS_MULTIPLEUSE, &cookie)
                                              : com;
            std::unique_lock<std::mutex> lock(mutex_);
            result_ = hr;
            registered_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return revoking_; });
            if (SUCCEEDED(hr)) CoRevokeClassObject(cookie);
            lock.unlock();
            if (SUCCEEDED(com)) CoUninitialize();
        });
        changed_.wait(lock, [this] { return registered_; });
    }
    ClassRegistration(const CLSID& clsid, FunctionClassFactory::Create create)
        : ClassRegistration(clsid, FunctionClassFactory::make(std::move(create)).Get()) {}
    ~ClassRegistration() { revoke(); }
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;

    HRESULT result() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return result_;
    }
    // Objects made so far stay; new ones come from the system again.
    void revoke() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            revoking_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool registered_ = false, revoking_ = false;
    HRESULT result_ = E_FAIL;
    std::thread thread_;
};

// Runs `body` on a thread of its own in the multithreaded apartment, as the program's media
// threads run, and waits for it.
inline void inMultithreadedApartment(const std::function<void()>& body) {
    std::thread([&] {
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        body();
        if (SUCCEEDED(com)) CoUninitialize();
    }).join();
}

// Small pieces shared by the stand-ins' COM objects: reference counting with QueryInterface for one
// interface, and a class object registered in the process while it lives.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>

#include "support/class_factory_win.h"

// T derives from ComObject<Itf> and implements Itf's own methods; it answers for Itf and IUnknown.
template <class Itf>
class ComObject : public Itf {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == IID_IUnknown || riid == __uuidof(Itf)) {
            *out = static_cast<Itf*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return ULONG(left);
    }

protected:
    virtual ~ComObject() = default;

private:
    LONG refs_ = 1;
};

// A class object registered for `clsid` in this process (CoCreateInstance on any thread of the
// multithreaded apartment finds it) until destroyed. Register from a thread in that apartment.
class ClassRegistration {
public:
    ClassRegistration(REFCLSID clsid, IClassFactory* factory) {
        result_ = CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    }
    ClassRegistration(REFCLSID clsid, FunctionClassFactory::Create create)
        : ClassRegistration(clsid, FunctionClassFactory::make(std::move(create)).Get()) {}
    ~ClassRegistration() { revoke(); }
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;

    HRESULT result() const { return result_; }
    void revoke() {
        if (SUCCEEDED(result_) && cookie_) CoRevokeClassObject(cookie_);
        cookie_ = 0;
    }

private:
    HRESULT result_ = E_FAIL;
    DWORD cookie_ = 0;
};

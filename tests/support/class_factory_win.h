// COM objects of the tests: reference counting for objects of one interface, and a class factory
// that makes its objects with a function (what a transform registered in this process needs, and
// what the stand-in codecs' in-process server hands out per class).
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <utility>

// IUnknown for an object that implements `Interface` (its __uuidof must link) and nothing else.
// It starts with one reference and deletes itself when the last goes.
template <class Interface>
class ComObject : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~ComObject() = default;

private:
    std::atomic<ULONG> refs_{1};
};

// Takes over an object that was born holding one reference. MinGW's ComPtr::Attach adds a
// reference of its own, unlike the documented one, so Attach(new T) would leak the object.
template <class Interface, class T>
Microsoft::WRL::ComPtr<Interface> adoptNew(T* fresh) {
    Microsoft::WRL::ComPtr<Interface> held(fresh);
    fresh->Release();
    return held;
}

class FunctionClassFactory : public ComObject<IClassFactory> {
public:
    // Makes one object and queries it for the interface asked for.
    using Create = std::function<HRESULT(REFIID iid, void** object)>;

    static Microsoft::WRL::ComPtr<IClassFactory> make(Create create) {
        return adoptNew<IClassFactory>(new FunctionClassFactory(std::move(create)));
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return create_(iid, object);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    explicit FunctionClassFactory(Create create) : create_(std::move(create)) {}

    Create create_;
};

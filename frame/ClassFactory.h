// The class factory of a module's one creatable class T (a PennarkObject2 of T::Interface).
#pragma once
#include <new>
#include "PennarkObject.h"

namespace frame {
// The error result and error information for an object that could not be built.
HRESULT ConstructionFailed();
}

template <class T>
class ClassFactory : public IKnown<IClassFactory> {
public:
    typedef typename T::Interface Interface;

    // Fetches the type information of T's interface once; raises CoError when there is none.
    ClassFactory() : typeInfo_(frame::FetchTypeInfo(__uuidof(Interface))) {}
    ~ClassFactory() override { typeInfo_->Release(); }

    // The outer object is ignored: the class does not aggregate, and an outer object is
    // neither used nor refused.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != __uuidof(Interface)) return E_NOINTERFACE;
        try {
            T* object = new T(typeInfo_);
            *out = static_cast<Interface*>(object);  // its construction reference
            return S_OK;
        } catch (...) {
            // The host's creation call is no place for an exception: it becomes the result.
            return frame::ConstructionFailed();
        }
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        return CoLockObjectExternal(static_cast<IClassFactory*>(this), lock, FALSE);
    }

private:
    ITypeInfo* typeInfo_;  // counted
};

// The plugin frame: the templates that make a class a host-visible dispatch object.
//
//   IKnown<I>          QueryInterface, AddRef, Release over an interlocked count; the virtual
//                      destructor follows I's last method in the table.
//   IDispatchType<I>   IDispatch driven by the host's type information of I.
//   PennarkObject2<I>  object safety and error information (Pennarkix parts), and an Invoke
//                      that turns whatever the method raised into COM exception information.
//
// A method of a frame object writes its body inside RunMethod (below), so that an exception
// reaches the frame's Invoke without crossing the system's dispatcher, and a direct call
// through the interface table gets a failure result with the error's text as the thread's
// error information: no exception ever leaves the module.
#pragma once
#include <exception>
#include "CoString.h"
#include "Pennarkix.h"

namespace frame {

// The result of Invoke for a failed call, and the translation's texts.
const HRESULT kInvokeFailed = DISP_E_EXCEPTION;
const WORD kUnknownErrorCode = 59999;
extern const wchar_t kErrorSource[];        // "Quillet Pennark"
extern const char kUnknownErrorText[];      // the text for an exception of unknown type

// The frame's Invoke: clears the thread's error information, runs call (the dispatcher),
// and turns a failure into exception information: error information left by the method,
// or an exception raised by it, is written to excep (when given) and gives DISP_E_EXCEPTION.
HRESULT TranslatedInvoke(EXCEPINFO* excep, HRESULT (*call)(void*), void* context);

// The Invoke under way on this thread whose method has not started yet; taking it means the
// caller is that method. Null when the method is called directly.
struct InvokeSlot {
    std::exception_ptr kept;
};
InvokeSlot* TakeInvokeSlot();

// The failure of a direct call, inside the handler of the exception being handled: the
// exception's text (the description that Invoke would write to EXCEPINFO, with Invoke's code
// as help context) becomes the thread's error information, and the result is the failure's
// HRESULT (the COM error's own, HRESULT_FROM_WIN32 of a Windows error, E_OUTOFMEMORY, or
// E_FAIL). Never raises.
HRESULT LeaveCurrentFailure() noexcept;

// Runs a method's body. Called through the frame's Invoke, an exception is kept for that
// Invoke, which raises it again once the dispatcher has returned (exceptions must not
// unwind through the system's dispatcher: on i686 it has no unwind tables), and the result
// is DISP_E_EXCEPTION. Called directly, the thread's error information is cleared first and
// an exception becomes error information (LeaveCurrentFailure) and the result failed.
template <class R, class F>
R RunMethod(R failed, F&& body) {
    InvokeSlot* slot = TakeInvokeSlot();
    if (!slot) SetErrorInfo(0, nullptr);
    try {
        return body();
    } catch (...) {
        if (slot) slot->kept = std::current_exception();
        else LeaveCurrentFailure();
        return failed;
    }
}

// A method with an HRESULT: S_OK when the body returns; called directly, a failure gives the
// HRESULT of LeaveCurrentFailure.
template <class F>
HRESULT RunMethod(F&& body) {
    InvokeSlot* slot = TakeInvokeSlot();
    if (!slot) SetErrorInfo(0, nullptr);
    try {
        body();
        return S_OK;
    } catch (...) {
        if (!slot) return LeaveCurrentFailure();
        slot->kept = std::current_exception();
        return kInvokeFailed;
    }
}

// The type information of a host interface; raises CoError when Pennarkix has none.
ITypeInfo* FetchTypeInfo(REFIID iid);

}  // namespace frame

template <class I>
class IKnown : public I {
public:
    typedef I Interface;

    IKnown() : refs_(1) {}
    virtual ~IKnown() {}
    IKnown(const IKnown&) = delete;
    IKnown& operator=(const IKnown&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_INVALIDARG;
        if (iid == IID_IUnknown || iid == __uuidof(I)) {
            *out = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0) delete this;
        return ULONG(refs);
    }

private:
    volatile LONG refs_;
};

template <class I>
class IDispatchType : public IKnown<I> {
public:
    explicit IDispatchType(ITypeInfo* typeInfo) : typeInfo_(typeInfo) {
        if (typeInfo_) typeInfo_->AddRef();
    }
    ~IDispatchType() override {
        if (typeInfo_) typeInfo_->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_INVALIDARG;
        if (iid == IID_IDispatch) {
            *out = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        return IKnown<I>::QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_INVALIDARG;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (!info) return E_INVALIDARG;
        *info = typeInfo_;
        if (typeInfo_) typeInfo_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return DispGetIDsOfNames(typeInfo_, names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excep, UINT* argumentError) override {
        return DispInvoke(static_cast<I*>(this), typeInfo_, id, flags, params, result, excep, argumentError);
    }

protected:
    ITypeInfo* typeInfo_;  // counted
};

template <class I>
class PennarkObject2 : public IDispatchType<I> {
public:
    // With no type information the object fetches its own from Pennarkix.
    explicit PennarkObject2(ITypeInfo* typeInfo = nullptr)
        : IDispatchType<I>(typeInfo), safety_(Self()), errorInfo_(Self()) {
        const DWORD safe = ObjectSafety2::kSupported;
        safety_.SetInterfaceSafetyOptions(IID_IUnknown, safe, safe);
        safety_.SetInterfaceSafetyOptions(IID_IDispatch, safe, safe);
        safety_.SetInterfaceSafetyOptions(__uuidof(I), safe, safe);
        if (!this->typeInfo_) this->typeInfo_ = frame::FetchTypeInfo(__uuidof(I));
        errorInfo_.Add(IID_IDispatch);
        errorInfo_.Add(__uuidof(I));
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_INVALIDARG;
        if (iid == IID_IObjectSafety) {
            safety_.AddRef();
            *out = static_cast<IObjectSafety*>(&safety_);
            return S_OK;
        }
        if (iid == IID_ISupportErrorInfo) {
            errorInfo_.AddRef();
            *out = static_cast<ISupportErrorInfo*>(&errorInfo_);
            return S_OK;
        }
        return IDispatchType<I>::QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argumentError) override {
        struct Call {
            PennarkObject2* self;
            DISPID id;
            REFIID iid;
            LCID locale;
            WORD flags;
            DISPPARAMS* params;
            VARIANT* result;
            EXCEPINFO* excep;
            UINT* argumentError;
            static HRESULT Run(void* context) {
                Call* c = static_cast<Call*>(context);
                return c->self->IDispatchType<I>::Invoke(c->id, c->iid, c->locale, c->flags, c->params, c->result,
                                                         c->excep, c->argumentError);
            }
        } call = {this, id, iid, locale, flags, params, result, excep, argumentError};
        return frame::TranslatedInvoke(excep, &Call::Run, &call);
    }

private:
    IUnknown* Self() { return static_cast<I*>(this); }
    ObjectSafety2 safety_;
    SupportErrorInfo errorInfo_;
};

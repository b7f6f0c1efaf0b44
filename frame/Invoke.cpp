// The frame's Invoke: exceptions and error information become COM exception information.
#include <cstring>
#include <new>
#include "PennarkObject.h"
#include "PluginModule.h"

namespace frame {

const wchar_t kErrorSource[] = L"Quillet Pennark";
const char kUnknownErrorText[] = "Необработанная ошибка неизвестного типа";

namespace {

// The innermost Invoke of this thread that waits for its method; restored when it ends, so
// a method that invokes another object finds that object's slot, never its own.
thread_local InvokeSlot* t_waiting = nullptr;

class InvokeScope {
public:
    InvokeScope() : previous_(t_waiting) { t_waiting = &slot_; }
    ~InvokeScope() { t_waiting = previous_; }
    InvokeScope(const InvokeScope&) = delete;
    InvokeScope& operator=(const InvokeScope&) = delete;
    // Raises what the method kept, if anything.
    void RaiseKept() {
        t_waiting = previous_;
        if (slot_.kept) {
            std::exception_ptr kept = slot_.kept;
            slot_.kept = nullptr;
            std::rethrow_exception(kept);
        }
    }
private:
    InvokeSlot slot_;
    InvokeSlot* previous_;
};

// Fills excep with the translation's texts. What the dispatcher may have stored there
// when the call failed is released first (it is only ever stored with DISP_E_EXCEPTION).
void Fill(EXCEPINFO* excep, bool dispatcherFilled, WORD code, const CoString& source, const CoString& description) {
    if (!excep) return;
    if (dispatcherFilled) {
        SysFreeString(excep->bstrSource);
        SysFreeString(excep->bstrDescription);
        SysFreeString(excep->bstrHelpFile);
    }
    std::memset(excep, 0, sizeof *excep);
    excep->wCode = code;
    excep->bstrSource = source.newstr();
    excep->bstrDescription = description.newstr();
    excep->scode = kInvokeFailed;
}

CoString SourceOrDefault(const string& source) {
    return source.HasText() ? CoString(source) : CoString(kErrorSource);
}

// What a failure is for the host: the result of a direct call, and the code and texts that
// Invoke writes to EXCEPINFO.
struct Translation {
    HRESULT result;
    WORD code;
    CoString source;
    CoString description;
};

// The translation of the exception being handled.
Translation TranslateCurrent() {
    try {
        throw;
    } catch (const OleAutoException& e) {
        string description = e.Description().HasText() ? e.Description() : e.Reason();
        return {e.Code(), WORD(e.Code()), SourceOrDefault(e.Source()), CoString(description)};
    } catch (const CoError& e) {
        return {e.Code(), WORD(e.Code()), CoString(kErrorSource), CoString(e.Reason())};
    } catch (const WindowsError& e) {
        HRESULT result = e.Code() ? HRESULT_FROM_WIN32(DWORD(e.Code())) : E_FAIL;
        return {result, kUnknownErrorCode, CoString(kErrorSource), CoString(e.Reason())};
    } catch (const QuilletException& e) {
        return {E_FAIL, kUnknownErrorCode, CoString(kErrorSource), CoString(e.Reason())};
    } catch (const std::bad_alloc&) {
        return {E_OUTOFMEMORY, kUnknownErrorCode, CoString(kErrorSource), CoString(kUnknownErrorText)};
    } catch (...) {
        return {E_FAIL, kUnknownErrorCode, CoString(kErrorSource), CoString(kUnknownErrorText)};
    }
}

}  // namespace

HRESULT LeaveCurrentFailure() noexcept {
    HRESULT result = E_FAIL;
    try {
        Translation t = TranslateCurrent();
        if (FAILED(t.result)) result = t.result;
        ICreateErrorInfo* create = nullptr;
        if (SUCCEEDED(CreateErrorInfo(&create))) {
            create->SetSource(t.source.get());
            create->SetDescription(t.description.get());
            create->SetHelpContext(t.code);
            IErrorInfo* info = nullptr;
            if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
                SetErrorInfo(0, info);
                info->Release();
            }
            create->Release();
        }
    } catch (...) {
        // Out of memory for the texts: the result alone reports the failure.
    }
    return result;
}

InvokeSlot* TakeInvokeSlot() {
    InvokeSlot* slot = t_waiting;
    t_waiting = nullptr;  // calls the method makes are not the method
    return slot;
}

HRESULT TranslatedInvoke(EXCEPINFO* excep, HRESULT (*call)(void*), void* context) {
    SetErrorInfo(0, nullptr);
    HRESULT result = E_UNEXPECTED;
    try {
        InvokeScope scope;
        result = call(context);
        scope.RaiseKept();
    } catch (...) {
        Translation t = TranslateCurrent();
        Fill(excep, result == kInvokeFailed, t.code, t.source, t.description);
        return kInvokeFailed;
    }

    // A method may report failure by leaving error information, whatever it returned.
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR description = nullptr;
        if (excep && SUCCEEDED(info->GetDescription(&description))) {
            CoString text = CoString::Attach(description);
            DWORD helpContext = 0;
            WORD code = SUCCEEDED(info->GetHelpContext(&helpContext)) ? WORD(helpContext) : WORD(result & 0xFFFF);
            Fill(excep, false, code, CoString(kErrorSource), text);
        }
        info->Release();
        result = kInvokeFailed;
    }
    return result;
}

ITypeInfo* FetchTypeInfo(REFIID iid) {
    ITypeInfo* info = nullptr;
    CoCallEx(GetPennarkixTypeInfo(iid, &info), ModuleHandle(), kTypeInfoSource, kTypeInfoLine);
    return info;
}

}  // namespace frame

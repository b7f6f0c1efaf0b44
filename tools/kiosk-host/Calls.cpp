#include "Calls.h"
#include <cstdio>
#include <exception>
#include "CoString.h"

namespace kiosk {

HRESULT InvokeByName(IDispatch* object, const wchar_t* name, std::vector<VARIANT> arguments, EXCEPINFO* excep,
                     VARIANT* result) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object ? object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id) : E_POINTER;
    if (SUCCEEDED(hr)) {
        std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());  // the dispatcher's order
        DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, UINT(reversed.size()), 0};
        UINT argumentError = 0;
        hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, excep, &argumentError);
    }
    for (VARIANT& v : arguments)
        if (V_VT(&v) == VT_BSTR) VariantClear(&v);
    return hr;
}

VARIANT Text(const wchar_t* text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return v;
}

VARIANT Object(IDispatch* object) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_DISPATCH;
    V_DISPATCH(&v) = object;
    return v;
}

CallResult Invoke(IDispatch* object, const wchar_t* name, std::vector<VARIANT> arguments) {
    EXCEPINFO excep = {};
    CallResult r;
    r.result = InvokeByName(object, name, std::move(arguments), &excep);
    if (r.result == DISP_E_EXCEPTION) {
        if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
        r.excepFilled = true;
        r.code = excep.wCode;
        r.scode = excep.scode;
        r.source = CoString::Narrow(excep.bstrSource).str();
        r.description = CoString::Narrow(excep.bstrDescription).str();
    }
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    return r;
}

std::string CurrentExceptionText() {
    try {
        throw;
    } catch (const QuilletException& e) {
        return e.Reason().str();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an exception of unknown type";
    }
}

std::string Describe(const CallResult& call) {
    if (!call.thrown.empty()) return "exception: " + call.thrown;
    char head[64];
    if (SUCCEEDED(call.result)) {
        std::snprintf(head, sizeof head, call.result == S_OK ? "S_OK" : "success 0x%08lX",
                      static_cast<unsigned long>(call.result));
        return head;
    }
    std::snprintf(head, sizeof head, "failed 0x%08lX", static_cast<unsigned long>(call.result));
    std::string text = head;
    if (call.excepFilled) {
        text += ": wCode " + std::to_string(call.code) + ", source \"" + call.source + "\", description \"" +
                call.description + "\"";
    }
    return text;
}

}  // namespace kiosk

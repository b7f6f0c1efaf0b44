// Calling a plugin's methods as a host does, and telling what came back.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <string>
#include <vector>

namespace kiosk {

// Calls a method by name through IDispatch: GetIDsOfNames, then Invoke (DISPATCH_METHOD)
// with the arguments given in the method's order. BSTR arguments are freed afterwards.
HRESULT InvokeByName(IDispatch* object, const wchar_t* name, std::vector<VARIANT> arguments, EXCEPINFO* excep,
                     VARIANT* result = nullptr);
VARIANT Text(const wchar_t* text);  // a VT_BSTR for InvokeByName, which frees it
VARIANT Object(IDispatch* object);  // a VT_DISPATCH (not counted)

// What one call gave: its result, the exception information of a failed Invoke, or the
// text of an exception that a direct call let through.
struct CallResult {
    HRESULT result = S_OK;
    bool excepFilled = false;
    WORD code = 0;
    HRESULT scode = S_OK;
    std::string source;       // windows-1251
    std::string description;  // windows-1251
    std::string thrown;       // a direct call's exception
    bool Failed() const { return FAILED(result) || !thrown.empty(); }
};

// Invoke with an EXCEPINFO, taken into a CallResult.
CallResult Invoke(IDispatch* object, const wchar_t* name, std::vector<VARIANT> arguments);
// A direct call through the interface table; an exception it lets through is caught here.
template <class Call>
CallResult Direct(Call call);

// "S_OK", or "failed 0x80020009: wCode 59999, source "…", description "…"".
std::string Describe(const CallResult& call);

// The text of the exception being handled (inside a catch block).
std::string CurrentExceptionText();

template <class Call>
CallResult Direct(Call call) {
    CallResult r;
    try {
        r.result = call();
    } catch (...) {
        r.thrown = CurrentExceptionText();
    }
    return r;
}

}  // namespace kiosk

#include "CoString.h"
#include "qlframe.h"

namespace {
const UINT kCodePage = 1251;  // every 8-bit text of the system is windows-1251

BSTR Widen(const char* text) {
    if (!text) return nullptr;
    int length = int(std::strlen(text));
    int wide = MultiByteToWideChar(kCodePage, 0, text, length, nullptr, 0);
    BSTR result = SysAllocStringLen(nullptr, UINT(wide));
    if (!result) throw CoError(E_OUTOFMEMORY, "out of memory for a COM string");
    if (wide) MultiByteToWideChar(kCodePage, 0, text, length, result, wide);
    return result;
}

BSTR Copy(const wchar_t* text) {
    if (!text) return nullptr;
    BSTR result = SysAllocString(text);
    if (!result) throw CoError(E_OUTOFMEMORY, "out of memory for a COM string");
    return result;
}
}  // namespace

CoString::CoString(const wchar_t* text) : text_(Copy(text)) {}
CoString::CoString(const char* text) : text_(Widen(text)) {}
CoString::CoString(const CoString& o) : text_(o.text_ ? SysAllocStringLen(o.text_, SysStringLen(o.text_)) : nullptr) {
    if (o.text_ && !text_) throw CoError(E_OUTOFMEMORY, "out of memory for a COM string");
}
CoString::~CoString() { SysFreeString(text_); }

CoString CoString::Attach(BSTR text) {
    CoString s;
    s.text_ = text;
    return s;
}

BSTR CoString::newstr() const { return Copy(text_); }

string CoString::Narrow(const wchar_t* text) {
    if (!text) return string("");
    int length = int(wcslen(text));
    int narrow = WideCharToMultiByte(kCodePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(size_t(narrow), '\0');
    if (narrow) WideCharToMultiByte(kCodePage, 0, text, length, &result[0], narrow, nullptr, nullptr);
    return string(std::move(result));
}

namespace {
// The system's (or the module's) text for a result code, without its line end.
string MessageOf(HRESULT code, HMODULE module) {
    char buffer[512];
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | (module ? FORMAT_MESSAGE_FROM_HMODULE : 0);
    DWORD n = FormatMessageA(flags, module, DWORD(code), 0, buffer, sizeof buffer, nullptr);
    while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ' || buffer[n - 1] == '.'))
        --n;
    return string(buffer, n);
}
}  // namespace

HRESULT CoCallEx(HRESULT result, HMODULE module, const char* source, int line) {
    if (SUCCEEDED(result)) return result;
    string reason = FormatBuffer(256, "COM call error 0x%08lX at \"%s\":%d", static_cast<unsigned long>(result),
                                 source ? source : "", line);
    string text = MessageOf(result, module);
    if (text.HasText()) reason += ": " + text;

    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR source = nullptr, description = nullptr;
        info->GetSource(&source);
        info->GetDescription(&description);
        CoString sourceText = CoString::Attach(source), descriptionText = CoString::Attach(description);
        info->Release();
        throw OleAutoException(result, reason, sourceText.Narrow(), descriptionText.Narrow());
    }
    if (HRESULT_FACILITY(result) == FACILITY_DISPATCH) throw OleError(result, reason);
    throw CoError(result, reason);
}

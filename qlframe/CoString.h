// COM strings and the framework's COM errors (part of the qlframe stand-in).
#pragma once
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include "core.h"

// A wide COM string (BSTR) owned by the object. Built empty (null), from a wide text or
// from an 8-bit windows-1251 text; copies are deep. Narrow() gives the text back as
// windows-1251 (characters that code page lacks become '?').
class CoString {
public:
    CoString() : text_(nullptr) {}
    CoString(const wchar_t* text);
    CoString(const char* text);
    CoString(const string& text) : CoString(text.IsNull() ? nullptr : text.c_str()) {}
    CoString(const CoString& o);
    CoString(CoString&& o) noexcept : text_(o.text_) { o.text_ = nullptr; }
    CoString& operator=(CoString o) noexcept { std::swap(text_, o.text_); return *this; }
    ~CoString();

    // Takes over a BSTR that the caller was given to free (a method's result).
    static CoString Attach(BSTR text);

    BSTR get() const { return text_; }
    operator BSTR() const { return text_; }
    bool IsEmpty() const { return !text_ || !*text_; }
    // A newly allocated copy for an out-parameter (SysAllocString); null when empty-null.
    BSTR newstr() const;
    string Narrow() const { return Narrow(text_); }

    // The windows-1251 form of a wide text; a null text gives an empty string.
    static string Narrow(const wchar_t* text);

private:
    BSTR text_;  // freed with SysFreeString
};

// ---- The framework's COM errors -----------------------------------------------------

// A failed COM call: its result code and a text naming the call's source position.
class CoError : public QuilletException {
public:
    CoError(HRESULT code, const string& reason) : QuilletException(reason), code_(code) {}
    HRESULT Code() const { return code_; }
private:
    HRESULT code_;
};

// A failed OLE Automation call (a dispatch-facility result).
class OleError : public CoError {
public:
    using CoError::CoError;
};

// A failed call that left error information: the object's source and description texts
// (windows-1251; either may be empty).
class OleAutoException : public OleError {
public:
    OleAutoException(HRESULT code, const string& reason, const string& source, const string& description)
        : OleError(code, reason), source_(source), description_(description) {}
    string Source() const { return source_; }
    string Description() const { return description_; }
private:
    string source_;
    string description_;
};

// Returns result unchanged when it is a success code. A failure is raised with the caller's
// source position: OleAutoException when the thread has error information (which is taken),
// OleError for a dispatch-facility code, CoError for any other. The text reads
// COM call error 0x<code> at "<source>":<line>, followed by ": " and the system's text for
// the code when module or the system has one.
HRESULT CoCallEx(HRESULT result, HMODULE module, const char* source, int line);

// A counted reference to a COM object: AddRef when copied, Release when dropped.
template <class I>
class CoRef {
public:
    CoRef() : p_(nullptr) {}
    explicit CoRef(I* p, bool addRef = true) : p_(p) { if (p_ && addRef) p_->AddRef(); }
    CoRef(const CoRef& o) : p_(o.p_) { if (p_) p_->AddRef(); }
    CoRef(CoRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    CoRef& operator=(CoRef o) noexcept { std::swap(p_, o.p_); return *this; }
    ~CoRef() { if (p_) p_->Release(); }
    I* get() const { return p_; }
    I* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // The out-parameter of a call that returns a counted reference; the old one is dropped.
    I** out() { reset(); return &p_; }
    void** outv() { return reinterpret_cast<void**>(out()); }
    void reset() { if (p_) { I* p = p_; p_ = nullptr; p->Release(); } }
    // Gives up the reference without releasing it.
    I* detach() { I* p = p_; p_ = nullptr; return p; }
private:
    I* p_;
};

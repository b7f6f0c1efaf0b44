// The error classes of the system. Everything thrown inside it derives from QuilletException.
#pragma once
#include "Strings.h"

class QuilletException {
public:
    explicit QuilletException(const char* reason) : reason_(reason ? reason : "") {}
    explicit QuilletException(const string& reason) : reason_(reason.IsNull() ? string("") : reason) {}
    virtual ~QuilletException() {}
    // The text that callers copy into log lines and COM error texts.
    virtual string Reason() const { return reason_; }
protected:
    string reason_;
};

// An error of the system's own, with a text.
class QLAppException : public QuilletException {
public:
    using QuilletException::QuilletException;
};

// A deliberate failure with a text and a number; "Debug Exception" when no text is given.
class DebugException : public QuilletException {
public:
    explicit DebugException(const char* text = nullptr, int number = 0)
        : QuilletException(text && *text ? text : "Debug Exception"), number_(number) {}
    int Number() const { return number_; }
private:
    int number_;
};

// A failure concerning a named resource; the text is the reason, a space and the resource name.
class ResourceException : public QuilletException {
public:
    ResourceException(const string& reason, const string& resource)
        : QuilletException(reason), resource_(resource) {}
    string Resource() const { return resource_; }
    string Reason() const override {
        return resource_.HasText() ? reason_ + " " + resource_ : reason_;
    }
private:
    string resource_;
};

class FileException : public ResourceException {
public:
    using ResourceException::ResourceException;
};

// A file that cannot be opened.
class FileAccessException : public FileException {
public:
    using FileException::FileException;
};

// A failed Windows call: the code, the caller's source name and line.
// Text: Windows system call error <code> (<code as 8 hex digits>) at "<source>":<line>
class WindowsError : public QuilletException {
public:
    WindowsError(int code, const string& source, int line);
    int Code() const { return code_; }
    string Source() const { return source_; }
    int Line() const { return line_; }
private:
    int code_;
    string source_;
    int line_;
};

// Returns result unchanged when it is not zero; otherwise throws WindowsError with
// GetLastError() and the given source position.
template <class R>
R CheckSystemCall(R result, const char* source, int line);

// The same check for calls that return an error code (registry, Winsock) instead of
// setting the last error: throws WindowsError with code unless it is zero.
void CheckErrorCode(long code, const char* source, int line);

[[noreturn]] void ThrowWindowsError(DWORD code, const char* source, int line);

template <class R>
R CheckSystemCall(R result, const char* source, int line) {
    if (!result) ThrowWindowsError(GetLastError(), source, line);
    return result;
}

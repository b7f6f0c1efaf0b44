// 8-bit windows-1251 texts with a shared buffer.
#pragma once
#include <windows.h>
#include <cstring>
#include <memory>
#include <string>

// A text that may be null. Copies share the buffer; building from a text copies it.
// The buffer is never changed once shared: appending makes a new one.
// A string may hold NUL bytes (file contents); c_str() is always NUL-terminated.
class string {
public:
    string() {}
    string(const char* text) { if (text) buf_ = std::make_shared<const std::string>(text); }
    string(const char* data, size_t length) { if (data) buf_ = std::make_shared<const std::string>(data, length); }
    string(const std::string& s) : buf_(std::make_shared<const std::string>(s)) {}
    string(std::string&& s) : buf_(std::make_shared<const std::string>(std::move(s))) {}

    bool IsNull() const { return !buf_; }
    bool IsEmpty() const { return !buf_ || buf_->empty(); }
    bool HasText() const { return !IsEmpty(); }
    size_t Length() const { return buf_ ? buf_->size() : 0; }
    const char* c_str() const { return buf_ ? buf_->c_str() : ""; }
    const std::string& str() const { static const std::string empty; return buf_ ? *buf_ : empty; }
    char operator[](size_t i) const { return (*buf_)[i]; }

    string& operator+=(const string& o) { return Append(o.c_str(), o.Length()); }
    string& operator+=(const char* text) { return text ? Append(text, std::strlen(text)) : *this; }
    string& operator+=(char c) { return Append(&c, 1); }
    string& Append(const char* data, size_t length) {
        std::string s = str();
        s.append(data, length);
        buf_ = std::make_shared<const std::string>(std::move(s));
        return *this;
    }
    string Mid(size_t pos, size_t count = std::string::npos) const {
        return pos >= Length() ? string("") : string(str().substr(pos, count));
    }

    // Byte-wise equality; a null string equals only a null string.
    bool operator==(const string& o) const { return IsNull() ? o.IsNull() : (!o.IsNull() && str() == o.str()); }
    bool operator!=(const string& o) const { return !(*this == o); }
    bool operator==(const char* text) const { return text ? (!IsNull() && str() == text) : IsNull(); }
    bool operator!=(const char* text) const { return !(*this == text); }
    // Case-insensitive comparison in the order of lstrcmpiA; null compares as empty.
    int CompareNoCase(const string& o) const { return lstrcmpiA(c_str(), o.c_str()); }

private:
    std::shared_ptr<const std::string> buf_;
};

inline string operator+(const string& a, const string& b) { string r(a); r += b; return r; }
inline string operator+(const string& a, const char* b) { string r(a); r += b; return r; }
inline string operator+(const char* a, const string& b) { string r(a ? a : ""); r += b; return r; }

// A string used as a key: compared without regard to case, lstrcmpiA order; the empty key sorts first.
class keystring : public string {
public:
    using string::string;
    keystring() {}
    keystring(const string& s) : string(s) {}
    bool operator<(const keystring& o) const { return CompareNoCase(o) < 0; }
    bool operator==(const keystring& o) const { return CompareNoCase(o) == 0; }
    bool operator!=(const keystring& o) const { return CompareNoCase(o) != 0; }
};

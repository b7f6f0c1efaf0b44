#include "qlframe.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

string Format(FormatTypes type, const RealTime& t, bool date, bool time) {
    SYSTEMTIME st = t;
    if (type != 2)
        return FormatBuffer(64, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                            st.wMinute, st.wSecond);
    string d = FormatBuffer(32, "%02u.%02u.%04u", st.wDay, st.wMonth, st.wYear);
    string h = FormatBuffer(32, "%02u:%02u:%02u", st.wHour, st.wMinute, st.wSecond);
    if (date && time) return d + " " + h;
    return date ? d : h;
}

RealTime ScanDateTime(FormatTypes type, const char* text, bool strict, unsigned* end) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    int used = 0;
    bool ok = text && (type == 2 ? std::sscanf(text, "%2u.%2u.%4u %2u:%2u:%2u%n", &d, &mo, &y, &h, &mi, &s, &used)
                                 : std::sscanf(text, "%4u-%2u-%2u %2u:%2u:%2u%n", &y, &mo, &d, &h, &mi, &s, &used)) == 6;
    if (ok && strict) {
        // Only white space may follow the moment.
        for (const char* p = text + used; *p; ++p)
            if (!std::strchr(whitespace, *p)) { ok = false; break; }
    }
    SYSTEMTIME st = {};
    st.wYear = WORD(y); st.wMonth = WORD(mo); st.wDay = WORD(d);
    st.wHour = WORD(h); st.wMinute = WORD(mi); st.wSecond = WORD(s);
    RealTime result;
    if (ok && y >= 1601 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60 && s < 60)
        result = RealTime(st);
    if (!result) throw DateTimeSyntax(string("invalid date and time: ") + (text ? text : ""));
    if (end) *end = unsigned(used);
    return result;
}

namespace {
// Length of the decimal number at p: sign, digits with at most one point, then an
// optional exponent; 0 when there is none. Words such as "inf" and "nan" and hexadecimal
// forms are not numbers here: callers truncate the value to an integer.
size_t DecimalLength(const char* p) {
    size_t i = 0, digits = 0;
    if (p[i] == '+' || p[i] == '-') ++i;
    while (p[i] >= '0' && p[i] <= '9') { ++i; ++digits; }
    if (p[i] == '.') {
        ++i;
        while (p[i] >= '0' && p[i] <= '9') { ++i; ++digits; }
    }
    if (digits == 0) return 0;
    if (p[i] == 'e' || p[i] == 'E') {
        size_t j = i + 1;
        if (p[j] == '+' || p[j] == '-') ++j;
        if (p[j] >= '0' && p[j] <= '9') {
            while (p[j] >= '0' && p[j] <= '9') ++j;
            i = j;
        }
    }
    return i;
}
}  // namespace

double ScanNumber(FormatTypes type, const char* text, int flags, bool strict) {
    const char* p = text ? text : "";
    while (*p && std::strchr(whitespace, *p)) ++p;
    size_t length = DecimalLength(p);
    bool ok = length > 0;
    for (const char* q = p + length; ok && *q; ++q)
        if (!std::strchr(whitespace, *q)) ok = false;
    double v = 0;
    if (ok) {
        errno = 0;
        v = std::strtod(std::string(p, length).c_str(), nullptr);
        ok = errno != ERANGE || v == 0;
    }
    if (!ok) throw NumericSyntax(string("invalid number: ") + (text ? text : ""));
    return v;
}

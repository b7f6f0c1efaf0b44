#include "qlframe.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

double ScanNumber(FormatTypes type, const char* text, int flags, bool strict) {
    const char* p = text ? text : "";
    while (*p && std::strchr(whitespace, *p)) ++p;
    char* stop = nullptr;
    errno = 0;
    double v = std::strtod(p, &stop);
    bool ok = stop != p && errno != ERANGE;
    if (ok) {
        for (const char* q = stop; *q; ++q)
            if (!std::strchr(whitespace, *q)) { ok = false; break; }
    }
    if (!ok) throw NumericSyntax(string("invalid number: ") + (text ? text : ""));
    return v;
}

#include "qlbase.h"
#include <cmath>

namespace {
TimeSource::ClockFunction g_clock = nullptr;
TimeSource::ZoneFunction g_zone = nullptr;

RealTime SystemLocalNow() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return RealTime(st);
}

const double kDay = 86400.0 * RealTime::Second;
}  // namespace

void TimeSource::SetClock(ClockFunction clock) { g_clock = clock; }
void TimeSource::SetZone(ZoneFunction zone) { g_zone = zone; }
DWORD TimeSource::GetZone(TIME_ZONE_INFORMATION* tzi) {
    return g_zone ? g_zone(tzi) : GetTimeZoneInformation(tzi);
}

RealTime::RealTime(const SYSTEMTIME& st) : value(0) {
    FILETIME ft;
    if (SystemTimeToFileTime(&st, &ft))
        value = double((ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

RealTime::operator SYSTEMTIME() const {
    ULONGLONG units = value <= 0 ? 0 : ULONGLONG(std::llround(value));
    FILETIME ft;
    ft.dwLowDateTime = DWORD(units);
    ft.dwHighDateTime = DWORD(units >> 32);
    SYSTEMTIME st = {};
    FileTimeToSystemTime(&ft, &st);
    return st;
}

RealTime RealTime::Now() { return g_clock ? g_clock() : SystemLocalNow(); }

RealTime RealTime::UTC() const {
    TIME_ZONE_INFORMATION tzi;
    TimeSource::GetZone(&tzi);
    SYSTEMTIME local = *this, utc;
    if (!TzSpecificLocalTimeToSystemTime(&tzi, &local, &utc)) return *this;
    return RealTime(utc) + RealTime(std::fmod(value, RealTime::Millisecond));
}

RealTime RealTime::Local() const {
    TIME_ZONE_INFORMATION tzi;
    TimeSource::GetZone(&tzi);
    SYSTEMTIME utc = *this, local;
    if (!SystemTimeToTzSpecificLocalTime(&tzi, &utc, &local)) return *this;
    return RealTime(local) + RealTime(std::fmod(value, RealTime::Millisecond));
}

RealTime RealTime::Date() const { return RealTime(std::floor(value / kDay) * kDay); }

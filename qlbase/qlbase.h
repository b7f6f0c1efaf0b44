// Stand-in of the maker's qlbase library: registry keys, time values, Base64,
// block storage and trimming.
#pragma once
#include <windows.h>
#include "core.h"

// ---- Registry -------------------------------------------------------------------

// An open registry key. Opening a missing key without create does not throw: the key is
// then empty and every value reads as absent. Creating or opening with create raises
// WindowsError when the registry refuses.
class RegKey {
public:
    static const REGSAM AllAccess = 0xF003F;
    static const REGSAM ReadAccess = 0x20019;

    RegKey(HKEY parent, const char* path, bool create, REGSAM access);
    RegKey(const RegKey& parent, const char* path, bool create, REGSAM access);
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey();

    bool IsOpen() const { return key_ != nullptr; }
    HKEY Handle() const { return key_; }

    // One value of the key: reads convert, assignments write.
    class Value {
    public:
        Value(const RegKey& key, const char* name) : key_(key), name_(name) {}
        // The text; a null string when the value is absent or not a string.
        operator string() const;
        string Text() const { return *this; }
        // The number; 0 when absent. A string value is read as its leading decimal number.
        operator int() const;
        int Number() const { return *this; }
        bool Valid() const;
        Value& operator=(const char* text);
        Value& operator=(const string& text) { return *this = text.c_str(); }
        Value& operator=(int number);
    private:
        const RegKey& key_;
        string name_;
    };
    Value operator[](const char* name) const { return Value(*this, name); }

private:
    void Open(HKEY parent, const char* path, bool create, REGSAM access);
    HKEY key_;  // closed with RegCloseKey
};

// ---- Time -----------------------------------------------------------------------

// A point or span of time as a count of 100-nanosecond units. Points are counted from
// 1601-01-01 like FILETIME; whether a point is local or UTC is the caller's knowledge.
class RealTime {
public:
    static constexpr double Second = 10000000.0;
    static constexpr double Millisecond = 10000.0;

    RealTime() : value(0) {}
    RealTime(double units) : value(units) {}
    RealTime(const SYSTEMTIME& st);
    operator SYSTEMTIME() const;

    explicit operator bool() const { return value != 0; }
    bool operator>(const RealTime& o) const { return value > o.value; }
    bool operator<(const RealTime& o) const { return value < o.value; }
    bool operator!=(const RealTime& o) const { return value != o.value; }
    bool operator==(const RealTime& o) const { return value == o.value; }
    RealTime operator+(const RealTime& o) const { return RealTime(value + o.value); }
    RealTime operator-(const RealTime& o) const { return RealTime(value - o.value); }

    // The present local time, from the replaceable clock.
    static RealTime Now();
    // Local time to UTC and back, in the time zone of the replaceable zone source.
    RealTime UTC() const;
    RealTime Local() const;
    // The same day with the time of day cleared.
    RealTime Date() const;

    double value;
};

// Seams through which tests fix the moment and the time zone. A null function restores
// the system's own (GetLocalTime, GetTimeZoneInformation).
namespace TimeSource {
typedef RealTime (*ClockFunction)();
typedef DWORD (*ZoneFunction)(TIME_ZONE_INFORMATION*);
void SetClock(ClockFunction clock);
void SetZone(ZoneFunction zone);
// GetTimeZoneInformation through the zone seam.
DWORD GetZone(TIME_ZONE_INFORMATION* tzi);
}  // namespace TimeSource

// ---- Base64 ---------------------------------------------------------------------

string Base64Encode(const void* data, size_t length);
string Base64Encode(const vec<unsigned char>& data);
// The length of the Base64 form of length bytes.
inline size_t Base64Length(size_t length) { return (length + 2) / 3 * 4; }
// Writes the Base64 form (Base64Length(length) characters, no terminator) at out; returns
// its length. For texts that must not go through a shared buffer (credentials).
size_t Base64Encode(const void* data, size_t length, char* out);
// Decodes text into out. False (out unspecified) when the text is not valid Base64:
// a character outside the alphabet, a length that is not a multiple of four, or
// padding anywhere but at the end.
bool Base64Decode(vec<unsigned char>* out, const char* text);

// ---- Block storage --------------------------------------------------------------

// Contiguous fixed-size blocks.
class BlockBuffer {
public:
    BlockBuffer(size_t blockSize, size_t growth);
    // Inserts count blocks at position (-1 appends). A null source leaves zeroed room.
    void InsertBlocks(const void* source, long position, size_t count);
    void DeleteBlocks(size_t position, size_t count);
    void* operator[](size_t index) { return &data_[index * blockSize_]; }
    size_t Count() const { return data_.size() / blockSize_; }
private:
    size_t blockSize_;
    size_t growth_;
    std::vector<unsigned char> data_;
};

// ---- Texts ----------------------------------------------------------------------

extern const char whitespace[];  // " \t\r\n\v\f"
// Strip white space in place: both ends, the right end.
void trim(string& text);
void rtrim(string& text);

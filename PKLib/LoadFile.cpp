#include "PKLib.h"

namespace {
// Texts are built from the bytes read; the empty file gives the empty (not null) text.
string TextOf(const vec<unsigned char>& bytes) {
    if (bytes.IsEmpty()) return string("");
    return string(reinterpret_cast<const char*>(bytes.Data()), bytes.Count());
}
}  // namespace

bool LoadFile(const string& path, vec<unsigned char>* out) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    FilePort file(path, h);
    if (!file.IsValid()) throw FileAccessException("file open error:", path);
    return LoadFile(file, out);
}

bool LoadFile(FilePort& file, vec<unsigned char>* out) {
    if (!out) return false;
    out->Clear();
    LONGLONG end = 0;
    file.Seek(&end, FILE_END);
    // One read of the whole file: a size beyond 32 bits would be cut to its low part and
    // load a wrong, shorter content, so such a file is refused instead.
    if (end < 0 || end > LONGLONG(MAXDWORD)) throw FileException("file too large:", file.Path());
    DWORD size = DWORD(end);
    out->Resize(size);
    LONGLONG start = 0;
    DWORD got = size ? file.Read(&start, out->Data(), size) : 0;
    // A file that shrank while being read keeps only what was read.
    out->Resize(got);
    return true;
}

string LoadTextFile(const string& path) {
    vec<unsigned char> bytes;
    return LoadFile(path, &bytes) ? TextOf(bytes) : string("");
}

string LoadTextFile(FilePort& file) {
    vec<unsigned char> bytes;
    return LoadFile(file, &bytes) ? TextOf(bytes) : string("");
}

// What the benchmark programs share: a private registry for the run, an in-process answer
// to the EHLO name's DNS check, a clock in seconds and directory clean-up.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <windns.h>
#include <cstdio>
#include <string>

namespace bench {

const char kLogin[] = "bench";
const char kPassword[] = "bench-password";

// Every DNS question is answered with 127.0.0.1, so figures are those of the SMTP path alone.
inline DNS_STATUS WINAPI LocalDns(PCSTR, WORD, DWORD, PIP4_ARRAY, PDNS_RECORD* result, PVOID*) {
    PDNS_RECORD record = new DNS_RECORDA();
    record->wType = DNS_TYPE_A;
    record->Data.A.IpAddress = htonl(INADDR_LOOPBACK);
    *result = record;
    return 0;
}
inline VOID WINAPI FreeLocalDns(PVOID list, DNS_FREE_TYPE) { delete static_cast<PDNS_RECORD>(list); }

// HKEY_LOCAL_MACHINE redirected to a key of this run (with the machine's cryptography
// settings, which the protected password needs), removed at the end.
class PrivateRegistry {
public:
    PrivateRegistry() {
        char name[96];
        std::snprintf(name, sizeof name, "Software\\PennarkBench\\%lu", GetCurrentProcessId());
        root_ = name;
        RegCreateKeyExA(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
        const char cryptography[] = "Software\\Microsoft\\Cryptography";
        HKEY crypto = nullptr;
        if (RegCreateKeyExA(key_, cryptography, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &crypto, nullptr) == 0) {
            RegCopyTreeA(HKEY_LOCAL_MACHINE, cryptography, crypto);
            RegCloseKey(crypto);
        }
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, key_);
    }
    ~PrivateRegistry() {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
    }
    PrivateRegistry(const PrivateRegistry&) = delete;
    PrivateRegistry& operator=(const PrivateRegistry&) = delete;
private:
    HKEY key_ = nullptr;
    std::string root_;
};

// Seconds from an arbitrary start, from the performance counter.
inline double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / double(frequency.QuadPart);
}

// Removes a directory with everything in it.
inline void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = dir + "\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
            else DeleteFileA(path.c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

}  // namespace bench

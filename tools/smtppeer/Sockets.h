// Socket helpers shared by the SMTP peers.
#pragma once
#include <winsock2.h>
#include <windows.h>

namespace smtppeer {

// Keeps Winsock started for as long as a peer lives.
struct WinsockUser {
    WinsockUser() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUser() { WSACleanup(); }
};

// True when s has bytes (or a close) to read within ms.
inline bool Readable(SOCKET s, DWORD ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = {long(ms / 1000), long(ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
}

}  // namespace smtppeer

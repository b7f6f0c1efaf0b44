// A small volume of a test's own, for what a full disk does: a tmpfs mounted by
// tools/smtppeer/volume_peer.py on the host.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <string>
#include "SmtpPeer.h"
#include "Sockets.h"

namespace postvane_test {

// A tmpfs of the given size mounted on dir (an existing directory) by volume_peer.py while
// the object lives. Not mounted, with the reason, where the machine does not allow it.
class SmallVolume {
public:
    SmallVolume(const std::string& dir, const char* size) {
        control_ = smtppeer::LaunchPeerScript(smtppeer::PeerScript("volume_peer.py"),
                                              "\"" + smtppeer::UnixPath(dir) + "\" " + size, &reason_);
        std::string answer = Line();
        mounted_ = answer == "MOUNTED";
        if (!mounted_ && reason_.empty()) reason_ = answer.empty() ? "the volume peer did not answer" : answer;
    }
    ~SmallVolume() {
        if (mounted_ && send(control_, "UMOUNT\n", 7, 0) == 7) Line();  // answered once it is gone
        if (control_ != INVALID_SOCKET) closesocket(control_);
    }
    bool Mounted() const { return mounted_; }
    const std::string& Reason() const { return reason_; }
private:
    std::string Line() {
        std::string line;
        char c;
        for (DWORD start = GetTickCount(); control_ != INVALID_SOCKET && GetTickCount() - start < 30000;) {
            if (!smtppeer::Readable(control_, 100)) continue;
            if (recv(control_, &c, 1, 0) != 1 || c == '\n') break;
            line += c;
        }
        return line;
    }
    smtppeer::WinsockUser winsock_;
    SOCKET control_ = INVALID_SOCKET;
    bool mounted_ = false;
    std::string reason_;
};

}  // namespace postvane_test

// The dial-up client: brings a remote-access line up through the outside dial-up service
// module while at least one user needs it, and takes it down when the last user goes.
#pragma once
#include <windows.h>
#include "core.h"
#include "Runlog.h"

namespace PKXDK {
namespace Internet {

// The outside dial-up service module is named by "ServiceModule" under
// HKEY_LOCAL_MACHINE "Software\Quillet\Pennark\Kiosk\Dialup" and exports:
//   int DialupServiceEnabled(void)                     non-zero: a line may be made
//   DWORD __stdcall DialupServiceConnect(const char*)   a connection handle, 0 on failure
//   BOOL __stdcall DialupServiceDisconnect(DWORD)       0 on failure
// (failures set the thread's last error). One binding per process: the module name is read
// when the first client is built and stays fixed for the life of the process.
extern const char kDialupKeyPath[];

// Told by the hosting library's unload notification that the whole process is ending: the
// binding then leaves the module to the loader instead of freeing it itself.
void NoteProcessEnding();

class DialupClient {
public:
    // Any failure of the client.
    class Failure : public QLAppException {
    public:
        using QLAppException::QLAppException;
    };
    // A line that could not be made. The reason is the text followed by
    // " (код ошибки Windows: <code> (0x<code in hex>))" with the calling thread's last
    // error at construction.
    class DialupFailure : public Failure {
    public:
        explicit DialupFailure(const string& text);
    };

    // Held by a user while it needs the line; handed out in an rptr. When the last
    // reference goes, the client's Release runs with the token's quiet flag. A release
    // that the module refuses is logged (kind 2) and never leaves the destructor: the
    // handle stays set, so a later Disconnect tries again.
    class Networking {
    public:
        Networking(DialupClient* client, bool quiet) : client_(client), quiet_(quiet) {}
        Networking(const Networking&) = delete;
        Networking& operator=(const Networking&) = delete;
        ~Networking();
        bool Quiet() const { return quiet_; }
    private:
        DialupClient* client_;
        bool quiet_;
    };

    // log may be null (nothing is logged). Lines read "<callerName>: <text>", or just the
    // text when callerName is null or empty. An empty connectionName means no dial-up is
    // configured: Connect then hands out no token and never calls the module.
    DialupClient(Runlog* log, const char* connectionName, const char* callerName);
    DialupClient(const DialupClient&) = delete;
    DialupClient& operator=(const DialupClient&) = delete;
    // Disconnect(true); never lets an exception out (it is logged, kind 6).
    virtual ~DialupClient();

    // Counts one more user and returns its token, making the line first when none is held
    // and the module allows it. Empty token: no connection name, or (quiet only) the line
    // could not be made. Throws DialupFailure when the line could not be made and quiet is
    // false. A line that the module declines ("DialupServiceEnabled" 0) is not made but the
    // token is still handed out and counted.
    virtual rptr<Networking> Connect(bool quiet);
    // One user less; the last one closes the line (Disconnect with the same quiet flag).
    // False when there were no users.
    virtual bool Release(bool quiet);
    // Closes the line now, whatever the count, and sets the count to 0. True when no line
    // is held afterwards. A refused disconnection keeps the handle and returns false (quiet)
    // or throws WindowsError with the module's last error.
    virtual bool Disconnect(bool quiet);

    // The connection handle (0: no line) and the number of users, for diagnostics.
    DWORD ConnectionHandle() const;
    unsigned Users() const;

private:
    void Log(Runlog::CharFormat kind, const string& text) const;

    Runlog* log_;
    string name_;
    string prefix_;
    mutable CRITICAL_SECTION section_;  // taken by every operation, also around module calls
    DWORD handle_;
    unsigned users_;
};

}  // namespace Internet
}  // namespace PKXDK

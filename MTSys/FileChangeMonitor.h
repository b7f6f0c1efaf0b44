// A waitable handle that is signalled when something changes in a directory.
#pragma once
#include "MTSys.h"

namespace MTSys {

// A directory change notification. Signalled once per batch of changes; the signal stays
// until Rearm or destruction. Creation never throws: on failure the monitor is invalid and
// the thread's last error tells why (ERROR_PATH_NOT_FOUND / ERROR_FILE_NOT_FOUND for a
// missing directory).
//
// Every operation on the handle runs under the monitor's critical section, so Close, Rearm
// and destruction may come from different threads; waiting on GetHandle needs no lock.
class FileChangeMonitor : public Monitor {
public:
    // notifyFilter: FILE_NOTIFY_CHANGE_* bits (the service uses 0x11D).
    FileChangeMonitor(const string& directory, bool watchSubtree, DWORD notifyFilter);
    ~FileChangeMonitor() override;
    bool IsValid() const override;
    HANDLE GetHandle() const override;
    // Ends the notification (FindCloseChangeNotification); the monitor becomes invalid.
    void Close() override;
    // Clears the signal and waits for the next batch of changes. Throws WindowsError
    // when the system refuses (e.g. after Close).
    void Rearm() override;
};

}  // namespace MTSys

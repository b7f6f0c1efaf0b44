// The single service object of the delivery service library.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "Postvane.h"
#include "MTSys.h"
#include "Globals.h"

namespace Postvane {

// Debug flag bits (DebugFlags, read once per start).
enum DebugFlag : DWORD {
    kTraceSent = 0x1,         // every line sent to the SMTP server goes to the service log
    kTraceReceived = 0x2,     // every line received goes to the service log
    kFailAfterData = 0x4,     // a message with a class fails after its data, as a counted failure
    kNoAttemptLogs = 0x8,     // attempt logs are neither read nor written nor deleted
};

// The service thread and everything it works with.
class MailService : public MTSys::Thread {
public:
    MailService();
    ~MailService() override;

    // True when a stop was requested. With quiet false a request raises QLAppException
    // "Обнаружен запрос на завершение работы сервиса" instead of returning.
    bool CheckStop(bool quiet);
    // "Retry Timeout" in seconds; 0 or absent gives 15.
    unsigned RetryTimeout();
    // Calls the registered callback under the callback lock.
    void InvokeCallback(int code, int detail);

    MTSys::Event stopEvent;          // manual reset; set by PostvaneStop, cleared by PostvaneStart
    string logDirectory;             // directory of the daily event log; empty when none
    Runlog dailyLog;                 // the daily event log
    RealTime logDate;                // the date of the open daily log file
    DWORD debugFlags;                // DebugFlags as read at start
    string outboxDirectory;          // OutboxDir as last read; empty when not configured
    SOCKET socket;                   // the SMTP connection; INVALID_SOCKET when none
    MTSys::SyncObject callbackLock;  // unnamed mutex guarding the two fields below
    PostvaneCallback callback;
    void* callbackData;
};

// The process-wide service object.
MailService& Service();

}  // namespace Postvane

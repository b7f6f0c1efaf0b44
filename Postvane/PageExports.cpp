// The exports the settings page uses: the queue's figures and the connection test. The page
// calls them from a worker thread of its own, while the service may be running.
#include <winsock2.h>
#include <cstring>
#include "ConnectionTest.h"
#include "Postvane.h"
#include "QueueStatus.h"
#include "ServiceLog.h"
#include "qlframe.h"

namespace {

// Copies text into a buffer of size bytes (at least 1), cut to fit, always NUL-terminated.
void CopyCut(const string& text, char* buffer, DWORD size) {
    size_t length = text.Length() < size - 1 ? text.Length() : size - 1;
    if (length) std::memcpy(buffer, text.c_str(), length);
    buffer[length] = '\0';
}

// Winsock started for the length of one call, whether or not the process started it.
class WinsockUse {
public:
    WinsockUse() {
        WSADATA data;
        error_ = WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUse() {
        if (error_ == 0) WSACleanup();
    }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;
    int Error() const { return error_; }
private:
    int error_;
};

}  // namespace

extern "C" BOOL WINAPI SmtpQueueStatus(SmtpQueueFigures* figures) {
    if (!figures) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (figures->Size < sizeof(SmtpQueueFigures)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    DWORD error = 0;
    try {
        Postvane::QueueFigures read = Postvane::ReadQueueFigures(Postvane::ReadStatusSettings());
        figures->Waiting = read.waiting;
        figures->OldestAgeSeconds = read.oldestAgeSeconds;
        figures->BadMail = read.badMail;
        figures->LastFailureTime = read.lastFailureTime;
        CopyCut(read.lastFailure, figures->LastFailure, sizeof figures->LastFailure);
    } catch (const WindowsError& e) {
        error = e.Code() ? DWORD(e.Code()) : DWORD(ERROR_INTERNAL_ERROR);
    } catch (...) {
        error = ERROR_INTERNAL_ERROR;
    }
    SetLastError(error);
    return error == 0;
}

extern "C" BOOL WINAPI SmtpTestConnection(HKEY settings, HANDLE cancel, char* outcome, DWORD outcomeSize) {
    if (!outcome || !outcomeSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    outcome[0] = '\0';
    DWORD error = ERROR_INTERNAL_ERROR;
    try {
        WinsockUse winsock;
        if (winsock.Error()) {
            error = DWORD(winsock.Error());
            CopyCut(FormatBuffer(128, "Не удаётся запустить Winsock, ошибка %d", winsock.Error()), outcome, outcomeSize);
        } else {
            Postvane::EventStop stop(cancel);
            Postvane::ConnectionTestOutcome result = Postvane::TestConnection(settings, stop);
            error = result.error;
            CopyCut(result.sentence, outcome, outcomeSize);
        }
    } catch (const QuilletException& e) {
        error = ERROR_INTERNAL_ERROR;
        CopyCut("Проверка не выполнена: " + Postvane::LogSafe(e.Reason()), outcome, outcomeSize);
    } catch (...) {
        error = ERROR_INTERNAL_ERROR;
        CopyCut(string("Проверка не выполнена: внутренняя ошибка"), outcome, outcomeSize);
    }
    SetLastError(error);
    return error == 0;
}

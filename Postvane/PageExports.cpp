// The exports the settings page uses: the queue's figures and the connection test.
#include "Postvane.h"

extern "C" BOOL WINAPI SmtpQueueStatus(SmtpQueueFigures* figures) {
    (void)figures;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

extern "C" BOOL WINAPI SmtpTestConnection(HKEY settings, HANDLE cancel, char* outcome, DWORD outcomeSize) {
    (void)settings;
    (void)cancel;
    if (outcome && outcomeSize) outcome[0] = '\0';
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

// The delivery service library: exported interface and argument records.
#pragma once
#include <windows.h>

#ifdef POSTVANE_BUILD
#define POSTVANE_API
#else
#define POSTVANE_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

// One attachment. Fields are 32-bit on Win32 (20 bytes in all); on Win64 the same
// fields in the same order with native pointers.
typedef struct SmtpMailAttachment {
    DWORD Size;               // at least sizeof(SmtpMailAttachment); smaller records are skipped
    const void* Data;         // the content
    DWORD DataSize;           // bytes at Data
    const char* ContentType;  // MIME type; empty: application/octet-stream
    const char* FileName;     // name offered to the recipient; optional
} SmtpMailAttachment;

// The message to submit. Texts are NUL-terminated windows-1251; a null text is empty.
// 32 bytes on Win32; on Win64 the same fields with native pointers.
typedef struct SmtpMail {
    DWORD Size;                             // at least sizeof(SmtpMail); larger is accepted
    const char* To;                         // recipients separated by commas
    const char* Subject;
    const char* Text;                       // body of the plain-text part
    const SmtpMailAttachment* Attachments;  // AttachmentCount records; may be null when 0
    DWORD AttachmentCount;
    const char* From;                       // sender as shown in the From header
    const char* Class;                      // mail class selecting the delivery rules
} SmtpMail;

// Called from the service thread when the service has stopped working: code 0, detail 0.
typedef void (__cdecl* PostvaneCallback)(int code, int detail, void* userData);

// Stores the message as a new file in the outbox. 1 when the file is written (last error 0);
// 0 when refused: ERROR_INVALID_PARAMETER (null record), ERROR_INVALID_DATA (Size too small),
// ERROR_SERVICE_DISABLED (Disabled set). Other failures are raised as exceptions.
POSTVANE_API BOOL WINAPI SmtpSendMail(const SmtpMail* mail);

// Starts the service thread. 0 when refused: ERROR_SERVICE_DISABLED (Disabled set),
// ERROR_SERVICE_ALREADY_RUNNING (the thread has not ended; after the service died it stays
// so until PostvaneStop). On success the last error is left as it was.
POSTVANE_API BOOL WINAPI PostvaneStart(void);
// Requests the stop; with wait non-zero returns only when the service thread has ended.
// Always 1. Must not be called with waiting from the callback.
POSTVANE_API BOOL WINAPI PostvaneStop(int wait);
// 1 with last error 0 when the service is enabled; 0 with ERROR_SERVICE_DISABLED when not,
// or with the Windows code of a failure to read the setting.
POSTVANE_API BOOL WINAPI SmtpEnabled(void);
// Registers the callback (null clears it). 0 with ERROR_BUSY while a callback runs on
// another thread; otherwise 1 with last error 0. A callback may call it for itself.
POSTVANE_API BOOL WINAPI SetPostvaneCallback(PostvaneCallback callback, void* userData);

// What the outbox holds, for the operator's page. Fixed layout on both targets (536 bytes).
typedef struct SmtpQueueFigures {
    DWORD Size;               // at least sizeof(SmtpQueueFigures)
    DWORD Waiting;            // messages in the outbox still to be delivered
    DWORD OldestAgeSeconds;   // how long the oldest of them has waited; 0 when none waits
    DWORD BadMail;            // messages set aside in bad mail (their notes not counted)
    FILETIME LastFailureTime; // UTC; zero when no failure is on record
    char LastFailure[512];    // the last failure's text (windows-1251, NUL-terminated, cut to fit); empty when none
} SmtpQueueFigures;

// Fills *figures from the outbox, the bad-mail directory and the service's record of its last
// failure, as the settings stand now; changes nothing. Costs three directory listings and no
// message file is opened. Any thread may call it, also while the service runs. 1 with last error 0; 0 when refused:
// ERROR_INVALID_PARAMETER (null record), ERROR_INVALID_DATA (Size too small), or the Windows
// code of a failure to read. An outbox that is not configured or does not exist holds nothing.
POSTVANE_API BOOL WINAPI SmtpQueueStatus(SmtpQueueFigures* figures);

// Tests a connection with SMTP settings without sending mail: connect, TLS as Tls asks,
// sign-in (password or OAuth 2.0, as Auth asks; none without a Login for a password), QUIT.
// settings: an open key holding the values of the SMTP subkey (Server, Port, Tls,
// TlsRootCertificate, TlsSkipCheck, Auth, Login, Pass, the OAuth values), read as the service
// reads its own; null: the configured SMTP subkey. cancel: an event (may be null); once it is
// set the test ends within about a second. outcome: one plain sentence for the operator
// (windows-1251, always NUL-terminated, cut to fit outcomeSize), on success and on failure.
// 1 with last error 0 when every step succeeded; 0 with ERROR_INVALID_PARAMETER (null outcome
// or outcomeSize 0), ERROR_CANCELLED, ERROR_BAD_CONFIGURATION (no server, or a value that
// cannot be used), ERROR_HOST_UNREACHABLE (the name does not resolve, or no connection),
// ERROR_CONNECTION_ABORTED (TLS, the certificate, or the server broke the dialogue),
// ERROR_LOGON_FAILURE (sign-in refused, or no access token); ERROR_INTERNAL_ERROR or the
// Winsock code when the test could not run at all. Runs on the calling thread (a worker of the
// caller's, never a window thread: it takes as long as the server does) with a connection of
// its own, so the service may run meanwhile; starts and ends its own use of Winsock; writes
// one progress record with the sentence to the service log.
POSTVANE_API BOOL WINAPI SmtpTestConnection(HKEY settings, HANDLE cancel, char* outcome, DWORD outcomeSize);

#ifdef __cplusplus
}

// Writes the default configuration values that are missing from the Mail key and always
// stores the library's own path as ServiceModule. 1 with last error 0 when written; 0 when a
// step failed, with its Windows code as the last error (ERROR_INTERNAL_ERROR when it has
// none); the values written before the failure stay. Exported under its C++ name (the
// result type is not part of it); caller-cleans convention.
POSTVANE_API BOOL SmtpCreateDefaultConfig();
#endif

#ifdef _WIN64
static_assert(sizeof(SmtpMail) == 64, "SmtpMail layout");
static_assert(sizeof(SmtpMailAttachment) == 40, "SmtpMailAttachment layout");
static_assert(sizeof(SmtpQueueFigures) == 536, "SmtpQueueFigures layout");
#else
static_assert(sizeof(SmtpMail) == 32, "SmtpMail is 32 bytes on Win32");
static_assert(sizeof(SmtpMailAttachment) == 20, "SmtpMailAttachment is 20 bytes on Win32");
static_assert(sizeof(SmtpQueueFigures) == 536, "SmtpQueueFigures is 536 bytes on Win32");
#endif

// A TLS client channel over Windows' own TLS (Schannel): the handshake, then records out
// and plaintext in, over whatever carries the bytes (the SMTP connection's socket with its
// waits, time-outs and stop test).
//
// The channel checks no certificate: credentials are acquired for manual validation, and
// the caller checks the server's certificate (CertificateCheck.h) after the handshake.
// Protocols: TLS 1.2, and TLS 1.3 where the system offers it; never anything older.
//
// Failures raise QLAppException with these texts (%08X: the SECURITY_STATUS):
//   "Не удаётся получить учётные данные TLS (Schannel), ошибка %08X"
//   "Ошибка установления соединения TLS, ошибка %08X"
//   "Ошибка шифрования TLS, ошибка %08X"
//   "Ошибка расшифровки TLS, ошибка %08X"
//   "Соединение разорвано"   (the server closed the TLS session or the connection)
//   "Сервер ответил не по протоколу TLS: соединение прервано"   (bytes that cannot be TLS
//                            records, such as a plain-text reply, at once instead of a time-out)
// and whatever the carrier raises (time-out, stop request, Winsock errors).
#pragma once
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>
#include <memory>
#include <string>
#include "core.h"

namespace Postvane {

// Where the channel's records travel. Both calls raise the carrier's texts on failure.
class RecordCarrier {
public:
    // Sends all bytes; each wait for room at most timeoutMs.
    virtual void SendRecords(const char* data, size_t length, DWORD timeoutMs) = 0;
    // Waits at most timeoutMs for bytes and takes up to length of them; returns their
    // count, never 0 (a closed connection raises).
    virtual size_t ReceiveRecords(char* buffer, size_t length, DWORD timeoutMs) = 0;
protected:
    ~RecordCarrier() = default;
};

struct CertificateRelease {
    void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
// Owner of one certificate context.
typedef std::unique_ptr<const CERT_CONTEXT, CertificateRelease> CertificateOwner;

// Records are gathered into sends of about this size: one send per record of 16 KiB cost
// several times the time of plain TCP under Wine, sends of 256 KiB less than twice.
const size_t kTlsSendBlock = 262144;

class TlsChannel {
public:
    TlsChannel();
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // The client handshake, all of it within timeoutMs. serverName, unless empty, goes out
    // as the server name indication (callers leave it empty for an address literal).
    void Handshake(RecordCarrier& carrier, const string& serverName, DWORD timeoutMs);

    // After the handshake: the protocol ("TLS 1.2", "TLS 1.3"), the cipher suite's parts,
    // and the server's certificate with the chain the server sent in its store.
    string Protocol() const;
    string Cipher() const;
    CertificateOwner ServerCertificate() const;

    // Encrypts all bytes into records and sends them, several records per send.
    void Send(RecordCarrier& carrier, const char* data, size_t length, DWORD timeoutMs);

    // Up to length bytes of plaintext; when none is buffered, waits at most timeoutMs for
    // records. With consume false the bytes stay for the next call. A session the server
    // closed raises "Соединение разорвано" once its plaintext is used up.
    size_t Receive(RecordCarrier& carrier, char* buffer, size_t length, bool consume, DWORD timeoutMs);

    // Plaintext already decrypted and not yet consumed.
    bool HasPlaintext() const { return plainAt_ < plain_.size(); }

    // Sends the close notification, best effort within timeoutMs; never raises.
    void Close(RecordCarrier& carrier, DWORD timeoutMs) noexcept;

private:
    void AcquireCredentials();
    // Runs handshake messages until the context is complete; input_ holds what arrived.
    void Negotiate(RecordCarrier& carrier, const string& serverName, DWORD start, DWORD timeoutMs, bool initial);
    // Decrypts the whole records in input_ into plain_; false when input_ holds no whole record.
    bool DecryptRecords(RecordCarrier& carrier, DWORD timeoutMs);
    // Appends what the carrier receives within timeoutMs to input_; input_ is unchanged when
    // the receive raises.
    void ReceiveInput(RecordCarrier& carrier, DWORD timeoutMs);
    void SendToken(RecordCarrier& carrier, SecBuffer& token, DWORD timeoutMs);

    CredHandle credentials_;
    CtxtHandle context_;
    bool haveCredentials_;
    bool haveContext_;
    bool closed_;                   // the server ended the session
    SecPkgContext_StreamSizes sizes_;
    string serverName_;
    std::string input_;             // received bytes not yet decrypted (a partial record)
    std::string plain_;             // decrypted bytes; those before plainAt_ are consumed
    size_t plainAt_;
    std::string output_;            // records gathered for one send
};

}  // namespace Postvane

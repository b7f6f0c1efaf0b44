#include "TlsChannel.h"
#include <cstring>
#include "qlframe.h"

namespace Postvane {

namespace {

const size_t kFormatSize = 256;
// A TLS record is at most 16 KiB of plaintext plus its header, padding and tag; a read
// takes up to this much at a time.
const size_t kReadBlock = 17 * 1024 + 512;

const DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                              ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                              ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;

const char kClosedText[] = "Соединение разорвано";
const char kNotTlsText[] = "Сервер ответил не по протоколу TLS: соединение прервано";

// The content types of TLS records: change_cipher_spec, alert, handshake, application_data
// and heartbeat.
const unsigned char kFirstContentType = 20;
const unsigned char kLastContentType = 24;
const unsigned char kRecordMajorVersion = 3;  // of every TLS version's record header
const size_t kRecordHeader = 5;
// The longest protected record: 16 KiB of plaintext grown by at most 2 KiB.
const size_t kLongestRecord = 16384 + 2048;

// False when the bytes, taken as records from their first byte on, hold a record header
// that no TLS server sends: the server speaks something else (a plain-text reply, say).
// The security package would read such a header's length as that of a record still on its
// way and wait for it until the time runs out.
bool LooksLikeRecords(const std::string& input) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(input.data());
    size_t at = 0;
    while (at < input.size()) {
        const unsigned char* header = bytes + at;
        size_t have = input.size() - at;
        if (header[0] < kFirstContentType || header[0] > kLastContentType) return false;
        if (have >= 2 && header[1] != kRecordMajorVersion) return false;
        if (have < kRecordHeader) return true;
        size_t length = (size_t(header[3]) << 8) | header[4];
        if (length > kLongestRecord) return false;
        at += kRecordHeader + length;
    }
    return true;
}

[[noreturn]] void RaiseStatus(const char* format, SECURITY_STATUS status) {
    throw QLAppException(FormatBuffer(kFormatSize, format, unsigned(status)));
}

DWORD Remaining(DWORD start, DWORD total) {
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= total ? 0 : total - elapsed;
}

// A buffer that the security package allocated (ISC_REQ_ALLOCATE_MEMORY), freed on every path.
struct PackageBuffer {
    SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};
    ~PackageBuffer() {
        if (buffer.pvBuffer) FreeContextBuffer(buffer.pvBuffer);
    }
};

}  // namespace

TlsChannel::TlsChannel()
    : haveCredentials_(false), haveContext_(false), closed_(false), sizes_(), plainAt_(0) {
    SecInvalidateHandle(&credentials_);
    SecInvalidateHandle(&context_);
}

TlsChannel::~TlsChannel() {
    // The context is deleted before the credentials it was made with.
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
    SecureZeroMemory(&plain_[0], plain_.size());
}

void TlsChannel::AcquireCredentials() {
    // No client certificate; the server's certificate is checked by the caller, so that the
    // same checks run wherever the system's own validation differs or is missing.
    SCHANNEL_CRED credentials = {};
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_NO_SERVERNAME_CHECK |
                          SCH_USE_STRONG_CRYPTO;
    // TLS 1.3 where the system offers it through these credentials; a system that refuses
    // the request gets TLS 1.2 alone.
    const DWORD protocols[] = {SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT, SP_PROT_TLS1_2_CLIENT};
    SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
    for (DWORD p : protocols) {
        credentials.grbitEnabledProtocols = p;
        TimeStamp expiry;
        status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                           &credentials, nullptr, nullptr, &credentials_, &expiry);
        if (status == SEC_E_OK) break;
    }
    if (status != SEC_E_OK) RaiseStatus("Не удаётся получить учётные данные TLS (Schannel), ошибка %08X", status);
    haveCredentials_ = true;
}

void TlsChannel::SendToken(RecordCarrier& carrier, SecBuffer& token, DWORD timeoutMs) {
    if (token.cbBuffer && token.pvBuffer) carrier.SendRecords(static_cast<const char*>(token.pvBuffer), token.cbBuffer, timeoutMs);
}

void TlsChannel::Handshake(RecordCarrier& carrier, const string& serverName, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    serverName_ = serverName;
    AcquireCredentials();
    Negotiate(carrier, serverName, start, timeoutMs, true);
    SECURITY_STATUS status = QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK) RaiseStatus("Ошибка установления соединения TLS, ошибка %08X", status);
}

void TlsChannel::Negotiate(RecordCarrier& carrier, const string& serverName, DWORD start, DWORD timeoutMs,
                           bool initial) {
    char* target = serverName.IsEmpty() ? nullptr : const_cast<char*>(serverName.c_str());
    DWORD attributes = 0;
    if (initial) {
        // The client hello.
        PackageBuffer out;
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out.buffer};
        SECURITY_STATUS status = InitializeSecurityContextA(&credentials_, nullptr, target, kContextRequest, 0, 0,
                                                            nullptr, 0, &context_, &outDesc, &attributes, nullptr);
        if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_OK)
            RaiseStatus("Ошибка установления соединения TLS, ошибка %08X", status);
        haveContext_ = true;
        SendToken(carrier, out.buffer, Remaining(start, timeoutMs));
        if (status == SEC_E_OK) return;
    }
    bool readFirst = input_.empty();
    for (;;) {
        if (readFirst) ReceiveInput(carrier, Remaining(start, timeoutMs));
        if (!LooksLikeRecords(input_)) throw QLAppException(kNotTlsText);
        SecBuffer in[2] = {{DWORD(input_.size()), SECBUFFER_TOKEN, &input_[0]}, {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        PackageBuffer out;
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out.buffer};
        SECURITY_STATUS status = InitializeSecurityContextA(&credentials_, &context_, target, kContextRequest, 0, 0,
                                                            &inDesc, 0, nullptr, &outDesc, &attributes, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            readFirst = true;  // the rest of the message is still on its way
            continue;
        }
        // A token goes out also with a failure: it is the alert that tells the server why.
        if (FAILED(status)) {
            try {
                SendToken(carrier, out.buffer, Remaining(start, timeoutMs));
            } catch (const QuilletException&) {
            }
            RaiseStatus("Ошибка установления соединения TLS, ошибка %08X", status);
        }
        SendToken(carrier, out.buffer, Remaining(start, timeoutMs));
        // Bytes after the message just taken belong to the next one (or to the first records).
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= input_.size())
            input_.erase(0, input_.size() - in[1].cbBuffer);
        else
            input_.clear();
        if (status == SEC_E_OK) return;
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asked for a client certificate: go on without one.
            readFirst = false;
            continue;
        }
        if (status != SEC_I_CONTINUE_NEEDED) RaiseStatus("Ошибка установления соединения TLS, ошибка %08X", status);
        readFirst = input_.empty();
    }
}

string TlsChannel::Protocol() const {
    SecPkgContext_ConnectionInfo info = {};
    if (QueryContextAttributesA(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
        return string("TLS");
    if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) return string("TLS 1.3");
    if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) return string("TLS 1.2");
    if (info.dwProtocol & SP_PROT_TLS1_1_CLIENT) return string("TLS 1.1");
    if (info.dwProtocol & SP_PROT_TLS1_0_CLIENT) return string("TLS 1.0");
    return FormatBuffer(kFormatSize, "TLS (протокол %08X)", unsigned(info.dwProtocol));
}

namespace {

const char* AlgorithmName(ALG_ID id) {
    switch (id) {
    case CALG_AES_128: return "AES-128";
    case CALG_AES_256: return "AES-256";
    case CALG_SHA1: return "SHA-1";
    case CALG_SHA_256: return "SHA-256";
    case CALG_SHA_384: return "SHA-384";
    case CALG_SHA_512: return "SHA-512";
    case CALG_ECDH:
    case CALG_ECDH_EPHEM: return "ECDHE";
    case CALG_DH_EPHEM: return "DHE";
    case CALG_RSA_KEYX: return "RSA";
    default: return nullptr;
    }
}

string AlgorithmText(ALG_ID id) {
    const char* name = AlgorithmName(id);
    return name ? string(name) : FormatBuffer(kFormatSize, "%04X", unsigned(id));
}

}  // namespace

string TlsChannel::Cipher() const {
    // The suite's own name where the system tells it whole (Wine names some parts
    // "<unknown>"), else its parts.
    SecPkgContext_CipherInfo suite = {};
    suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesW(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK &&
        suite.szCipherSuite[0]) {
        char name[sizeof suite.szCipherSuite / sizeof(WCHAR)];
        if (WideCharToMultiByte(CP_ACP, 0, suite.szCipherSuite, -1, name, sizeof name, nullptr, nullptr) > 0 &&
            !std::strchr(name, '<'))
            return string(name);
    }
    SecPkgContext_ConnectionInfo info = {};
    if (QueryContextAttributesA(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
        return string("");
    return AlgorithmText(info.aiExch) + ", " + AlgorithmText(info.aiCipher) +
           FormatBuffer(kFormatSize, " (%u бит), ", unsigned(info.dwCipherStrength)) + AlgorithmText(info.aiHash);
}

CertificateOwner TlsChannel::ServerCertificate() const {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesA(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
        SEC_E_OK)
        return CertificateOwner();
    return CertificateOwner(certificate);
}

void TlsChannel::Send(RecordCarrier& carrier, const char* data, size_t length, DWORD timeoutMs) {
    const size_t header = sizes_.cbHeader;
    const size_t trailer = sizes_.cbTrailer;
    const size_t most = sizes_.cbMaximumMessage ? sizes_.cbMaximumMessage : 16384;
    output_.clear();
    size_t done = 0;
    while (done < length) {
        size_t chunk = length - done < most ? length - done : most;
        size_t at = output_.size();
        output_.resize(at + header + chunk + trailer);
        char* record = &output_[at];
        std::memcpy(record + header, data + done, chunk);
        SecBuffer parts[4] = {{DWORD(header), SECBUFFER_STREAM_HEADER, record},
                              {DWORD(chunk), SECBUFFER_DATA, record + header},
                              {DWORD(trailer), SECBUFFER_STREAM_TRAILER, record + header + chunk},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, parts};
        SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
        if (status != SEC_E_OK) {
            SecureZeroMemory(&output_[0], output_.size());
            RaiseStatus("Ошибка шифрования TLS, ошибка %08X", status);
        }
        // The trailer may come out shorter than its largest size.
        output_.resize(at + parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer);
        done += chunk;
        if (output_.size() >= kTlsSendBlock) {
            carrier.SendRecords(output_.data(), output_.size(), timeoutMs);
            output_.clear();
        }
    }
    if (!output_.empty()) carrier.SendRecords(output_.data(), output_.size(), timeoutMs);
    output_.clear();
}

void TlsChannel::ReceiveInput(RecordCarrier& carrier, DWORD timeoutMs) {
    size_t have = input_.size();
    input_.resize(have + kReadBlock);
    size_t n = 0;
    try {
        n = carrier.ReceiveRecords(&input_[have], kReadBlock, timeoutMs);
    } catch (...) {
        input_.resize(have);
        throw;
    }
    input_.resize(have + n);
}

bool TlsChannel::DecryptRecords(RecordCarrier& carrier, DWORD timeoutMs) {
    bool any = false;
    while (!input_.empty() && !closed_) {
        if (!LooksLikeRecords(input_)) throw QLAppException(kNotTlsText);
        SecBuffer parts[4] = {{DWORD(input_.size()), SECBUFFER_DATA, &input_[0]},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, parts};
        SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return any;
        if (status == SEC_I_CONTEXT_EXPIRED) {  // the server's close notification
            closed_ = true;
            input_.clear();
            return true;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) RaiseStatus("Ошибка расшифровки TLS, ошибка %08X", status);
        const SecBuffer* data = nullptr;
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& b : parts) {
            if (b.BufferType == SECBUFFER_DATA && !data) data = &b;
            if (b.BufferType == SECBUFFER_EXTRA && !extra) extra = &b;
        }
        size_t plainBytes = data ? data->cbBuffer : 0;
        if (plainBytes) {
            if (plainAt_ == plain_.size()) {
                plain_.clear();
                plainAt_ = 0;
            }
            plain_.append(static_cast<const char*>(data->pvBuffer), plainBytes);
        }
        size_t extraBytes = extra && extra->cbBuffer <= input_.size() ? extra->cbBuffer : 0;
        if (extraBytes)
            input_.erase(0, input_.size() - extraBytes);
        else
            input_.clear();
        any = true;
        if (status == SEC_I_RENEGOTIATE) {
            // A handshake message after the handshake (a new session ticket, a key
            // update): the context takes it from what follows the record.
            Negotiate(carrier, serverName_, GetTickCount(), timeoutMs, false);
            continue;
        }
        // Wine reports the server's close notification as an empty record.
        if (!plainBytes && !extraBytes) closed_ = true;
    }
    return any;
}

size_t TlsChannel::Receive(RecordCarrier& carrier, char* buffer, size_t length, bool consume, DWORD timeoutMs) {
    if (!buffer || length == 0) return 0;
    DWORD start = GetTickCount();
    while (plainAt_ == plain_.size()) {
        if (closed_) throw QLAppException(kClosedText);
        if (!input_.empty() && DecryptRecords(carrier, Remaining(start, timeoutMs))) continue;
        ReceiveInput(carrier, Remaining(start, timeoutMs));
        DecryptRecords(carrier, Remaining(start, timeoutMs));
    }
    size_t available = plain_.size() - plainAt_;
    size_t n = length < available ? length : available;
    std::memcpy(buffer, plain_.data() + plainAt_, n);
    if (consume) plainAt_ += n;
    return n;
}

void TlsChannel::Close(RecordCarrier& carrier, DWORD timeoutMs) noexcept {
    if (!haveContext_ || closed_) return;
    try {
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
        if (ApplyControlToken(&context_, &controlDesc) != SEC_E_OK) return;
        PackageBuffer out;
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out.buffer};
        DWORD attributes = 0;
        SECURITY_STATUS status = InitializeSecurityContextA(&credentials_, &context_, nullptr, kContextRequest, 0, 0,
                                                            nullptr, 0, nullptr, &outDesc, &attributes, nullptr);
        if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) SendToken(carrier, out.buffer, timeoutMs);
    } catch (...) {
        // The connection is going away anyway.
    }
    closed_ = true;
}

}  // namespace Postvane

#include "Submit.h"
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include "Globals.h"
#include "ServiceLog.h"
#include "qlframe.h"

// RtlGenRandom of advapi32.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace Postvane {

const char kDefaultSender[] = "Quillet Pennark Email Plugin v.1.1.0.2";

namespace {

const int kAppDataFolder = 0x1A;  // CSIDL_APPDATA
const char kCharset[] = "windows-1251";
const char kWordStart[] = "=?windows-1251?B?";
// An encoded word is at most this long (RFC 2047).
const size_t kLongestWord = 75;
// Bytes of one base64 line.
const size_t kBase64LineBytes = kBase64LineLength / 4 * 3;
// Quoted-printable lines: at most 76 characters, the "=" of a soft break included.
const size_t kQuotedLineLength = 76;

SubmitSeams::TickFunction g_tick = nullptr;
SubmitSeams::WriteFunction g_write = nullptr;
SubmitSeams::FlushFunction g_flush = nullptr;
SubmitSeams::RandomFunction g_random = nullptr;
// Room a message needs on the outbox's volume beyond its own bytes: a file system's own
// records for the file, and the service's small state files beside it.
const ULONGLONG kDiskMargin = 64 * 1024;
// The outbox's full disk has been logged since the last stored message (1) or not (0).
volatile LONG g_diskFullTold = 0;

std::string Text(const char* p) { return p ? std::string(p) : std::string(); }

void RandomBytes(void* data, size_t count) {
    if (g_random) {
        g_random(data, count);
        return;
    }
    // The system's generator of the CryptoAPI (advapi32's RtlGenRandom).
    CheckSystemCall(SystemFunction036(data, ULONG(count)) != FALSE, "Postvane/Submit", __LINE__);
}

// A header value with every run of CR and LF replaced by one space, so that a value can
// neither start a forged header line nor end the header block.
std::string HeaderValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\r' || c == '\n') {
            while (i + 1 < value.size() && (value[i + 1] == '\r' || value[i + 1] == '\n')) ++i;
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Printable US-ASCII, the blank included.
bool IsPrintable(char c) { return c >= 0x20 && c < 0x7F; }

// RFC 5322 atext.
bool IsAtomChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

// One header field being written: pieces are appended, and the line is folded before a
// piece's leading blank when the piece would take it past kFoldColumn.
class HeaderLine {
public:
    HeaderLine(std::string& out, const char* name) : out_(out), column_(std::strlen(name)) { out_ += name; }
    size_t Column() const { return column_; }
    // A piece that starts with a blank may be folded before; other pieces follow as they are.
    void Piece(const std::string& piece) {
        if (!piece.empty() && IsBlank(piece[0]) && column_ + piece.size() > kFoldColumn && column_ > 1) {
            out_ += "\r\n";
            column_ = 0;
        }
        out_ += piece;
        column_ += piece.size();
    }
    // Text cut into pieces at every run of blanks, each piece starting with its blanks.
    void Folded(const std::string& text) {
        size_t pos = 0;
        while (pos < text.size()) {
            size_t word = pos;
            while (word < text.size() && IsBlank(text[word])) ++word;
            size_t end = word;
            while (end < text.size() && !IsBlank(text[end])) ++end;
            Piece(text.substr(pos, end - pos));
            pos = end;
        }
    }
    // The bytes as encoded words, each preceded by a blank, each as long as the line allows.
    void EncodedWords(const std::string& bytes) {
        const size_t overhead = sizeof kWordStart - 1 + 2;
        size_t pos = 0;
        do {
            size_t room = kFoldColumn - column_ - 1;
            if (room < overhead + 4) {
                out_ += "\r\n";
                column_ = 0;
                room = kFoldColumn - 1;
            }
            size_t chars = (std::min(room, kLongestWord) - overhead) / 4 * 4;
            size_t n = std::min(bytes.size() - pos, chars / 4 * 3);
            char encoded[kLongestWord];
            size_t length = Base64Encode(bytes.data() + pos, n, encoded);
            std::string word = std::string(" ") + kWordStart + std::string(encoded, length) + "?=";
            out_ += word;
            column_ += word.size();
            pos += n;
        } while (pos < bytes.size());
    }
private:
    std::string& out_;
    size_t column_;
};

// An unstructured value (Subject): as it is when it is printable ASCII that folds within
// the limit and cannot be mistaken for encoded words, else encoded words.
void AppendUnstructured(HeaderLine& line, const std::string& value) {
    bool plain = value.find("=?") == std::string::npos;
    size_t run = 0;
    for (char c : value) {
        if (!IsPrintable(c)) plain = false;
        run = c == ' ' ? 0 : run + 1;
        if (run + 1 >= kFoldColumn) plain = false;  // a word that no fold could bring under the limit
    }
    if (value.empty()) line.Piece(" ");
    else if (plain) line.Folded(" " + value);
    else line.EncodedWords(value);
}

// A display name: atoms, a quoted string, or encoded words.
void AppendPhrase(HeaderLine& line, const std::string& name) {
    bool ascii = true, atoms = name.find("=?") == std::string::npos && !name.empty();
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (!IsPrintable(c)) ascii = false;
        if (!IsAtomChar(c) && !(c == ' ' && i > 0 && i + 1 < name.size() && name[i - 1] != ' ')) atoms = false;
    }
    if (!ascii) {
        line.EncodedWords(name);
    } else if (atoms) {
        line.Folded(" " + name);
    } else {
        std::string quoted = " \"";
        for (char c : name) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        line.Folded(quoted + "\"");
    }
}

// An address alone in From, as it is when it looks like one.
bool LooksLikeAddress(const std::string& text) {
    if (text.find('@') == std::string::npos || !IsPlainAddress(text)) return false;
    for (char c : text)
        if (!IsAtomChar(c) && c != '.' && c != '@' && c != '[' && c != ']' && c != ':') return false;
    return true;
}

void AppendSender(HeaderLine& line, const char* from, const std::string& reversePath) {
    std::string name = HeaderValue(Text(from));
    if (name.empty()) name = reversePath;
    if (name.empty()) name = kDefaultSender;
    if (reversePath.empty() && LooksLikeAddress(name)) line.Piece(" " + name);
    else AppendPhrase(line, name);
    if (!reversePath.empty()) line.Piece(" <" + reversePath + ">");
}

// The domain of the account's address for the message identifier: after its last "@",
// letters, digits, "-", "." and brackets only; else "localhost".
std::string IdDomain(const std::string& reversePath) {
    size_t at = reversePath.rfind('@');
    if (at == std::string::npos || at + 1 == reversePath.size()) return "localhost";
    std::string domain = reversePath.substr(at + 1);
    for (char c : domain)
        if (!IsAtomChar(c) && c != '.' && c != '[' && c != ']') return "localhost";
    return domain;
}

// RFC 2231 extended value: every byte that is no attribute character (a printable
// non-blank that is neither a MIME special nor "*", "'" or "%") as %XX.
std::string PercentEncoded(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c > 0x20 && c < 0x7F && !std::strchr("()<>@,;:\\\"/[]?=*'%", c)) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string QuotedParameter(const std::string& value) {
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool IsAsciiText(const std::string& text) {
    for (char c : text)
        if (!IsPrintable(c)) return false;
    return true;
}

// The file-name parameter of the disposition: a quoted string for a printable ASCII name,
// else RFC 2231 in windows-1251, continued over numbered lines when it is long.
void AppendFileName(std::string& m, const std::string& name) {
    if (IsAsciiText(name)) {
        m += "\tfilename=" + QuotedParameter(name) + "\r\n";
        return;
    }
    std::string value = PercentEncoded(name);
    const size_t firstRoom = kFoldColumn - 1 - std::strlen("filename*=;") - (sizeof kCharset - 1) - 2;
    if (value.size() <= firstRoom) {
        m += std::string("\tfilename*=") + kCharset + "''" + value + "\r\n";
        return;
    }
    // Pieces of at most 60 characters, never cutting a %XX.
    const size_t piece = 60;
    unsigned index = 0;
    for (size_t pos = 0; pos < value.size(); ++index) {
        size_t n = std::min(piece, value.size() - pos);
        if (pos + n < value.size()) {
            if (n >= 1 && value[pos + n - 1] == '%') n -= 1;
            else if (n >= 2 && value[pos + n - 2] == '%') n -= 2;
        }
        m += FormatBuffer(64, "\tfilename*%u*=", index).str();
        if (index == 0) m += std::string(kCharset) + "''";
        m += value.substr(pos, n);
        pos += n;
        m += pos < value.size() ? ";\r\n" : "\r\n";
    }
}

// The name parameter of the type, for readers that know no RFC 2231: a quoted string, with
// encoded words when the name is not printable ASCII.
void AppendTypeName(std::string& m, const std::string& name) {
    if (IsAsciiText(name)) {
        m += "\tname=" + QuotedParameter(name) + "\r\n";
        return;
    }
    std::string words;
    HeaderLine line(words, "\tname=\"");
    line.EncodedWords(name);
    // The words follow the opening quote without the first blank.
    size_t first = words.find(' ');
    if (first != std::string::npos) words.erase(first, 1);
    m += words + "\"\r\n";
}

// The longest line of the text, whatever its line ends.
size_t LongestLine(const std::string& text) {
    size_t longest = 0, run = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n') run = 0;
        else if (++run > longest) longest = run;
    }
    return longest;
}

size_t Base64Size(size_t bytes) {
    size_t lines = (bytes + kBase64LineBytes - 1) / kBase64LineBytes;
    return Base64Length(bytes) + 2 * lines;
}

// The content in base64 lines straight into the message: no copy of the whole encoded text.
void AppendBase64Lines(std::string& out, const SmtpMailAttachment& a) {
    const char* data = static_cast<const char*>(a.Data);
    size_t size = a.Data ? a.DataSize : 0;
    char line[kBase64LineLength + 2];
    for (size_t pos = 0; pos < size; pos += kBase64LineBytes) {
        size_t n = Base64Encode(data + pos, std::min(kBase64LineBytes, size - pos), line);
        line[n++] = '\r';
        line[n++] = '\n';
        out.append(line, n);
    }
}

// True when a file of the name would meet an earlier message's state in the wait
// directory: its attempt log, the mark of a finished message, or its recipient record (which
// would tell the new message's delivery who has had it already).
bool NameHasState(const string& outbox, const string& name) {
    string wait = outbox + "Wait\\" + name;
    return FileExists(wait + ".msglog") || FileExists(wait + ".done") || FileExists(wait + ".rcpt");
}

// Creates the message file under a free "%u.eml" name in outbox (a path with its trailing
// separator), starting at the tick count. A name whose file exists, or whose attempt log or
// done mark stays in the wait directory, is taken; a name taken between the test and the
// exclusive create moves on to the next number. The file is created hidden, so that the
// service does not see it before it is complete.
AHandle CreateMessageFile(const string& outbox, string* path) {
    DWORD n = g_tick ? g_tick() : GetTickCount();
    for (;;) {
        string name = FormatBuffer(256, "%u.eml", unsigned(n));
        string candidate = outbox + name;
        if (!FileExists(candidate) && !NameHasState(outbox, name)) {
            // DELETE access lets a failed write remove the file before its handle closes.
            HANDLE h = CreateFileA(candidate.c_str(), GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                *path = candidate;
                return AHandle(h);
            }
            DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
                throw FileException(FormatBuffer(256, "file create error, system error %lu:", error), candidate);
        }
        ++n;
    }
}

// Records the default outbox in OutboxDir. The reading configuration key cannot store, so
// the Mail key is opened for writing for this one step. Storing is a convenience for the
// operator and the service: the message goes to the default outbox whether or not the
// registry takes the value, so a refused write does not fail the submission.
void StoreDefaultOutbox(const string& outbox) {
    try {
        RegKey mailKey(HKEY_LOCAL_MACHINE, kMailKeyPath, true, RegKey::AllAccess);
        mailKey["OutboxDir"] = outbox;
    } catch (const WindowsError&) {
        // The next submission tries again.
    }
}

// Clears the hidden attribute of the message file through its handle.
void Publish(FilePort& file) {
    FILE_BASIC_INFO info = {};  // zero times: left as they are
    info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(file.Get(), FileBasicInfo, &info, sizeof info))
        throw FileException(FormatBuffer(256, "file attribute error, system error %lu:", GetLastError()), file.Path());
}

// Free bytes of the outbox's volume for this caller; the most there can be when the volume
// does not say, so that the write itself tells.
ULONGLONG FreeBytes(const string& outbox) {
    ULARGE_INTEGER free;
    if (!GetDiskFreeSpaceExA(outbox.c_str(), &free, nullptr, nullptr)) return ~0ull;
    return free.QuadPart;
}

// The outbox's disk is full: told once (kind 2), and again only after a message was stored.
void TellDiskFull(const string& outbox, ULONGLONG free, ULONGLONG needed) {
    if (InterlockedExchange(&g_diskFullTold, 1) != 0) return;
    ServiceLog().WriteText(Runlog::Error, "Недостаточно места на диске почтового ящика " + LogSafe(outbox) +
                                              FormatBuffer(128, ": свободно %llu байт, нужно %llu байт",
                                                           static_cast<unsigned long long>(free),
                                                           static_cast<unsigned long long>(needed)));
}

}  // namespace

DWORD FailureError(DWORD fallback) {
    try {
        throw;
    } catch (const WindowsError& e) {
        return e.Code() ? DWORD(e.Code()) : fallback;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const QuilletException& e) {
        // A file failure names its system error in its text ("..., system error 112:"); the
        // thread's last error may have been changed on the way out.
        const std::string& reason = e.Reason().str();
        size_t at = reason.find("system error ");
        DWORD error = at == std::string::npos ? 0 : DWORD(std::strtoul(reason.c_str() + at + 13, nullptr, 10));
        return error ? error : fallback;
    } catch (...) {
        return fallback;
    }
}

string DateText(const RealTime& now) {
    static const char* const kDays[] = {"", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const kMonths[] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SYSTEMTIME st = now;
    unsigned day = st.wDayOfWeek == 0 ? 7 : st.wDayOfWeek;
    const char* dayName = day <= 7 ? kDays[day] : "";
    const char* monthName = st.wMonth >= 1 && st.wMonth <= 12 ? kMonths[st.wMonth] : "";

    TIME_ZONE_INFORMATION tzi = {};
    DWORD zoneId = TimeSource::GetZone(&tzi);
    LONG bias = tzi.Bias;
    if (zoneId == TIME_ZONE_ID_STANDARD) bias += tzi.StandardBias;
    else if (zoneId == TIME_ZONE_ID_DAYLIGHT) bias += tzi.DaylightBias;
    LONG offset = -bias;
    unsigned magnitude = unsigned(offset < 0 ? -offset : offset);
    string zone = FormatBuffer(256, "%c%04u", offset < 0 ? '-' : '+', magnitude / 60 * 100 + magnitude % 60);

    return FormatBuffer(256, "%s, %u %s %04u %02u:%02u:%02u %s", dayName, unsigned(st.wDay), monthName,
                        unsigned(st.wYear), unsigned(st.wHour), unsigned(st.wMinute), unsigned(st.wSecond),
                        zone.c_str());
}

bool IsPlainAddress(const std::string& address) {
    if (address.empty()) return false;
    for (char c : address)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '<' || c == '>') return false;
    return true;
}

bool IsPlainAddressList(const std::string& list) {
    size_t pos = 0;
    for (;;) {
        size_t comma = list.find(',', pos);
        std::string piece = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        size_t first = piece.find_first_not_of(" \t");
        if (first != std::string::npos) {
            size_t last = piece.find_last_not_of(" \t");
            if (!IsPlainAddress(piece.substr(first, last - first + 1))) return false;
        }
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

void AppendQuotedPrintable(std::string& m, const char* text, size_t length, bool anyLineEnd) {
    static const char kHex[] = "0123456789ABCDEF";
    // The length of the line end at i: CR LF, and with anyLineEnd a bare CR or LF; else 0.
    auto lineEnd = [&](size_t i) -> size_t {
        if (i >= length) return 0;
        if (text[i] == '\r' && i + 1 < length && text[i + 1] == '\n') return 2;
        return anyLineEnd && (text[i] == '\r' || text[i] == '\n') ? 1 : 0;
    };
    size_t column = 0;
    for (size_t i = 0; i < length; ++i) {
        if (size_t n = lineEnd(i)) {
            m += "\r\n";
            column = 0;
            i += n - 1;
            continue;
        }
        char c = text[i];
        // A blank before a line end would be taken away by relays: it is encoded.
        bool atLineEnd = i + 1 == length || lineEnd(i + 1) != 0;
        bool literal = (c >= 33 && c <= 126 && c != '=') || (IsBlank(c) && !atLineEnd);
        size_t width = literal ? 1 : 3;
        if (column + width > kQuotedLineLength - 1) {
            m += "=\r\n";
            column = 0;
        }
        if (literal) {
            m += c;
        } else {
            unsigned char u = static_cast<unsigned char>(c);
            m += '=';
            m += kHex[u >> 4];
            m += kHex[u & 15];
        }
        column += width;
    }
}

string SenderText(const char* from, const string& reversePath) {
    std::string value;
    HeaderLine line(value, "From:");
    AppendSender(line, from, reversePath.str());
    return string(value.substr(1));
}

string NewMessageId(const string& reversePath) {
    static volatile LONG counter = 0;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long time = (unsigned long long)now.dwHighDateTime << 32 | now.dwLowDateTime;
    unsigned long long random = 0;
    RandomBytes(&random, sizeof random);
    unsigned long count = (unsigned long)InterlockedIncrement(&counter);
    return FormatBuffer(256, "<%016llx.%lx.%lx.%016llx@", time, (unsigned long)GetCurrentProcessId(), count, random) +
           IdDomain(reversePath.str()).c_str() + ">";
}

string NewBoundary(const SmtpMail& mail) {
    for (;;) {
        unsigned char bits[16];
        RandomBytes(bits, sizeof bits);
        std::string boundary = "=_pennark_";
        for (unsigned char b : bits) boundary += FormatBuffer(8, "%02x", unsigned(b)).c_str();
        bool taken = std::strstr(mail.Text ? mail.Text : "", boundary.c_str()) != nullptr;
        for (DWORD i = 0; mail.Attachments && i < mail.AttachmentCount && !taken; ++i) {
            const SmtpMailAttachment& a = mail.Attachments[i];
            if (a.Size >= sizeof(SmtpMailAttachment) && a.ContentType && std::strstr(a.ContentType, boundary.c_str()))
                taken = true;
        }
        if (!taken) return string(std::move(boundary));
    }
}

string ComposeMessage(const SmtpMail& mail, const string& reversePath, const MessageFrame& frame) {
    const std::string b = frame.boundary.str();
    std::string to = HeaderValue(Text(mail.To));
    std::string mailClass = HeaderValue(Text(mail.Class));
    std::string text = Text(mail.Text);
    bool quoted = LongestLine(text) > kLongestLine;

    std::string m;
    m.reserve(2048 + (quoted ? text.size() * 3 + text.size() / 25 : text.size()));
    {
        HeaderLine line(m, "From:");
        AppendSender(line, mail.From, reversePath.str());
    }
    if (!to.empty()) {
        m += "\r\n";
        HeaderLine line(m, "To:");
        line.Folded(" " + to);
    }
    m += "\r\n";
    {
        HeaderLine line(m, "Subject:");
        AppendUnstructured(line, HeaderValue(Text(mail.Subject)));
    }
    m += "\r\nDate: " + frame.date.str();
    if (!mailClass.empty()) m += "\r\nX-Class: " + mailClass;
    m += "\r\nMessage-ID: " + frame.messageId.str();
    m += "\r\nMIME-Version: 1.0";
    m += "\r\nContent-Type: multipart/mixed;";
    m += "\r\n        boundary=\"" + b + "\"\r\n";
    m += "\r\n";
    m += "--" + b + "\r\nContent-Type: text/plain; charset=\"windows-1251\"\r\n";
    m += quoted ? "Content-Transfer-Encoding: quoted-printable\r\n\r\n" : "Content-Transfer-Encoding: 8bit\r\n\r\n";
    if (quoted) AppendQuotedPrintable(m, text.data(), text.size(), false);
    else m += text;

    // The attachments' share is known exactly: one growth of the buffer, then none.
    size_t rest = 64 + b.size();
    for (DWORD i = 0; mail.Attachments && i < mail.AttachmentCount; ++i) {
        const SmtpMailAttachment& a = mail.Attachments[i];
        if (a.Size < sizeof(SmtpMailAttachment)) continue;
        rest += 1024 + b.size() + std::strlen(a.ContentType ? a.ContentType : "") +
                8 * std::strlen(a.FileName ? a.FileName : "") + Base64Size(a.Data ? a.DataSize : 0);
    }
    m.reserve(m.size() + rest);
    for (DWORD i = 0; mail.Attachments && i < mail.AttachmentCount; ++i) {
        const SmtpMailAttachment& a = mail.Attachments[i];
        if (a.Size < sizeof(SmtpMailAttachment)) continue;
        std::string name = HeaderValue(Text(a.FileName));
        std::string type = HeaderValue(Text(a.ContentType));
        if (type.empty()) type = "application/octet-stream";
        m += "\r\n--" + b + "\r\nContent-Disposition: attachment;\r\n";
        if (!name.empty()) AppendFileName(m, name);
        m += "Content-Transfer-Encoding: base64\r\n";
        m += "Content-Type: " + type + ";\r\n";
        if (!name.empty()) AppendTypeName(m, name);
        m += "\r\n";
        AppendBase64Lines(m, a);
    }
    m += "\r\n--" + b + "--\r\n";
    return string(std::move(m));
}

string DefaultOutboxDir() {
    return MakePathSpec(GetSpecialFolderPath(nullptr, kAppDataFolder)) + "Quillet\\Pennark\\Outbox";
}

BOOL SubmitMail(const SmtpMail* mail, bool flush) {
    if (!mail) { SetLastError(ERROR_INVALID_PARAMETER); return FALSE; }
    if (mail->Size < sizeof(SmtpMail)) { SetLastError(ERROR_INVALID_DATA); return FALSE; }
    if (MailDisabled()) { SetLastError(ERROR_SERVICE_DISABLED); return FALSE; }

    string outbox = ConfigText("OutboxDir");
    if (outbox.IsEmpty()) {
        outbox = DefaultOutboxDir();
        StoreDefaultOutbox(outbox);
    }
    CreatePath(outbox, nullptr);
    outbox = MakePathSpec(outbox);

    // Read only: a submission never creates the account's key nor needs to change it.
    RegKey smtpKey(HKEY_LOCAL_MACHINE, kSmtpKeyPath, false, KEY_READ);
    string reversePath = smtpKey["ReversePath"].Text();
    // An address with a line end, angle brackets, blanks or control characters would write
    // headers or envelope parameters of its own: refused before anything is written.
    if ((reversePath.HasText() && !IsPlainAddress(reversePath.str())) || !IsPlainAddressList(Text(mail->To))) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    MessageFrame frame;
    frame.date = DateText(RealTime::Now());
    frame.messageId = NewMessageId(reversePath);
    frame.boundary = NewBoundary(*mail);
    string text = ComposeMessage(*mail, reversePath, frame);

    // A message the volume cannot hold is refused before anything is created, so that no
    // half message is ever left behind.
    ULONGLONG needed = ULONGLONG(text.Length()) + kDiskMargin;
    ULONGLONG free = FreeBytes(outbox);
    if (free < needed) {
        TellDiskFull(outbox, free, needed);
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }

    string path;
    AHandle created = CreateMessageFile(outbox, &path);
    FilePort file(path, created.Detach());
    try {
        if (g_write) g_write(file, text.c_str(), text.Length());
        else file.Write(text.c_str(), text.Length());
        if (flush) {
            if (g_flush) g_flush(file);
            else file.Flush();
        }
        // Complete and on the disk: the message becomes visible to the service while the
        // file is still held, so no reader ever sees it half-written.
        Publish(file);
    } catch (...) {
        DWORD error = FailureError(GetLastError());
        // Never leave half a message for the service to find: the file is marked for deletion
        // while it is still held without sharing, so no reader can open it in between.
        FILE_DISPOSITION_INFO dispose = {TRUE};
        bool marked = SetFileInformationByHandle(file.Get(), FileDispositionInfo, &dispose, sizeof dispose) != FALSE;
        file.Close();
        if (!marked) DeleteFileA(path.c_str());
        // The space went while the message was written (another writer on the volume).
        if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) TellDiskFull(outbox, FreeBytes(outbox), needed);
        SetLastError(error);
        throw;
    }
    file.Close();
    InterlockedExchange(&g_diskFullTold, 0);
    SetLastError(0);
    return TRUE;
}

void SubmitSeams::SetTickCount(TickFunction tick) { g_tick = tick; }
void SubmitSeams::SetWrite(WriteFunction write) { g_write = write; }
void SubmitSeams::SetFlush(FlushFunction flush) { g_flush = flush; }
void SubmitSeams::SetRandom(RandomFunction random) { g_random = random; }

}  // namespace Postvane

// Nothing leaves the export: a failure is FALSE with the last error of the failed call.
extern "C" BOOL WINAPI SmtpSendMail(const SmtpMail* mail) {
    try {
        return Postvane::SubmitMail(mail, true);
    } catch (...) {
        DWORD error = Postvane::FailureError(GetLastError());
        // Both ways a volume says it is full mean the same to the caller.
        if (error == ERROR_HANDLE_DISK_FULL) error = ERROR_DISK_FULL;
        SetLastError(error ? error : ERROR_INTERNAL_ERROR);
    }
    return FALSE;
}

#include "Submit.h"
#include <cstring>
#include "Globals.h"
#include "qlframe.h"

namespace Postvane {

const char kBoundary[] = "----===_--pennark-pennark-pennark";
const char kDefaultSender[] = "Quillet Pennark Email Plugin v.1.1.0.2";

namespace {

const int kAppDataFolder = 0x1A;  // CSIDL_APPDATA

SubmitSeams::TickFunction g_tick = nullptr;
SubmitSeams::WriteFunction g_write = nullptr;
SubmitSeams::FlushFunction g_flush = nullptr;

std::string Text(const char* p) { return p ? std::string(p) : std::string(); }

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

void AppendBase64Lines(std::string& out, const SmtpMailAttachment& a) {
    string encoded = Base64Encode(a.Data, a.Data ? a.DataSize : 0);
    const std::string& s = encoded.str();
    for (size_t pos = 0; pos < s.size(); pos += kBase64LineLength) {
        out.append(s, pos, kBase64LineLength);
        out += "\r\n";
    }
}

// True when a file of the name would meet an earlier message's state in the wait
// directory: its attempt log, or the mark of a finished message.
bool NameHasState(const string& outbox, const string& name) {
    string wait = outbox + "Wait\\" + name;
    return FileExists(wait + ".msglog") || FileExists(wait + ".done");
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

}  // namespace

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

string SenderText(const char* from, const string& reversePath) {
    std::string f = Text(from);
    if (f.empty()) f = reversePath.str();
    if (f.empty()) f = kDefaultSender;
    if (reversePath.HasText()) f += " <" + reversePath.str() + ">";
    return string(std::move(f));
}

string ComposeMessage(const SmtpMail& mail, const string& sender, const string& date) {
    const std::string b = kBoundary;
    std::string to = HeaderValue(Text(mail.To));
    std::string mailClass = HeaderValue(Text(mail.Class));

    size_t estimate = 1024 + std::strlen(mail.Text ? mail.Text : "");
    for (DWORD i = 0; mail.Attachments && i < mail.AttachmentCount; ++i)
        estimate += 512 + size_t(mail.Attachments[i].DataSize) * 4 / 3 + mail.Attachments[i].DataSize / 30;
    std::string m;
    m.reserve(estimate);

    m += "From: " + HeaderValue(sender.str());
    if (!to.empty()) m += "\r\nTo: " + to;
    m += "\r\nSubject: " + HeaderValue(Text(mail.Subject));
    m += "\r\nDate: " + date.str();
    if (!mailClass.empty()) m += "\r\nX-Class: " + mailClass;
    m += "\r\nMIME-Version: 1.0";
    m += "\r\nContent-Type: multipart/mixed;";
    m += "\r\n        boundary=\"" + b + "\"\r\n";
    m += "\r\n";
    m += "--" + b + "\r\nContent-Type: text/plain; charset=\"windows-1251\"\r\n";
    m += "Content-Transfer-Encoding: 8bit\r\n\r\n";
    if (mail.Text) m += mail.Text;
    for (DWORD i = 0; mail.Attachments && i < mail.AttachmentCount; ++i) {
        const SmtpMailAttachment& a = mail.Attachments[i];
        if (a.Size < sizeof(SmtpMailAttachment)) continue;
        std::string name = HeaderValue(Text(a.FileName));
        std::string type = HeaderValue(Text(a.ContentType));
        if (type.empty()) type = "application/octet-stream";
        m += "\r\n--" + b + "\r\nContent-Disposition: attachment;\r\n";
        if (!name.empty()) m += "\tfilename=\"" + name + "\"\r\n";
        m += "Content-Transfer-Encoding: base64\r\n";
        m += "Content-Type: " + type + ";\r\n";
        if (!name.empty()) m += "\tname=\"" + name + "\"\r\n";
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
    if (ConfigNumber("Disabled") != 0) { SetLastError(ERROR_SERVICE_DISABLED); return FALSE; }

    string outbox = ConfigText("OutboxDir");
    if (outbox.IsEmpty()) {
        outbox = DefaultOutboxDir();
        StoreDefaultOutbox(outbox);
    }
    CreatePath(outbox, nullptr);
    outbox = MakePathSpec(outbox);

    RegKey smtpKey(HKEY_LOCAL_MACHINE, kSmtpKeyPath, true, RegKey::AllAccess);
    string reversePath = smtpKey["ReversePath"].Text();
    string text = ComposeMessage(*mail, SenderText(mail->From, reversePath), DateText(RealTime::Now()));

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
        // Never leave half a message for the service to find: the file is marked for deletion
        // while it is still held without sharing, so no reader can open it in between.
        FILE_DISPOSITION_INFO dispose = {TRUE};
        bool marked = SetFileInformationByHandle(file.Get(), FileDispositionInfo, &dispose, sizeof dispose) != FALSE;
        file.Close();
        if (!marked) DeleteFileA(path.c_str());
        throw;
    }
    file.Close();
    SetLastError(0);
    return TRUE;
}

void SubmitSeams::SetTickCount(TickFunction tick) { g_tick = tick; }
void SubmitSeams::SetWrite(WriteFunction write) { g_write = write; }
void SubmitSeams::SetFlush(FlushFunction flush) { g_flush = flush; }

}  // namespace Postvane

extern "C" BOOL WINAPI SmtpSendMail(const SmtpMail* mail) { return Postvane::SubmitMail(mail, true); }

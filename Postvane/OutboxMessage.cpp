#include "OutboxMessage.h"
#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include "PKLib.h"
#include "ServiceLog.h"
#include "Setting.h"
#include "Settled.h"
#include "Submit.h"
#include "qlframe.h"

namespace Postvane {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One line of text: [begin, end) without its line end; crlf tells whether CR LF ended it.
struct Line {
    size_t begin, end, next;
    bool crlf;
};

Line NextLine(const char* data, size_t length, size_t pos) {
    size_t i = pos;
    while (i < length && data[i] != '\r' && data[i] != '\n') ++i;
    Line line{pos, i, i, false};
    if (i + 1 < length && data[i] == '\r' && data[i + 1] == '\n') {
        line.crlf = true;
        line.next = i + 2;
    } else if (i < length) {
        line.next = i + 1;  // a bare CR or LF
    }
    return line;
}

bool IsBlankLine(const char* data, const Line& line) {
    for (size_t i = line.begin; i < line.end; ++i)
        if (!IsBlank(data[i])) return false;
    return true;
}

}  // namespace

MessageHeaders ParseHeaders(const char* data, size_t length) {
    MessageHeaders h;
    length = std::min(length, kHeaderWindow);
    // The header that continuation lines extend; null when it is not one we keep.
    string* current = nullptr;
    size_t pos = 0;
    while (pos < length) {
        Line line = NextLine(data, length, pos);
        if (IsBlankLine(data, line)) break;
        if (IsBlank(data[line.begin])) {
            if (current) {
                size_t from = line.begin;
                while (from < line.end && IsBlank(data[from])) ++from;
                *current += "\r\n";
                current->Append(data + from, line.end - from);
            }
        } else {
            size_t nameEnd = line.begin;
            while (nameEnd < line.end && !IsBlank(data[nameEnd])) ++nameEnd;
            size_t valueBegin = nameEnd;
            while (valueBegin < line.end && IsBlank(data[valueBegin])) ++valueBegin;
            std::string name(data + line.begin, nameEnd - line.begin);
            string value(data + valueBegin, line.end - valueBegin);
            current = nullptr;
            if (!h.hasTo && lstrcmpiA(name.c_str(), "To:") == 0) {
                h.hasTo = true;
                h.to = value;
                current = &h.to;
            } else if (!h.hasClass && lstrcmpiA(name.c_str(), "X-Class:") == 0) {
                h.hasClass = true;
                h.mailClass = value;
                current = &h.mailClass;
            }
        }
        if (!line.crlf) break;
        pos = line.next;
    }
    return h;
}

unsigned ScheduleDelay(const string& schedule, unsigned failures, unsigned fallback) {
    const std::string& s = schedule.str();
    unsigned delay = fallback, count = 0;
    size_t pos = 0;
    while (count < failures) {
        while (pos < s.size() && s[pos] == ' ') ++pos;
        if (pos >= s.size()) break;  // a trailing space ends the list, it is no entry
        size_t end = s.find(' ', pos);
        if (end == std::string::npos) end = s.size();
        double seconds = 0;
        try {
            seconds = ScanNumber(0, s.substr(pos, end - pos).c_str(), 0, true);
        } catch (const NumericSyntax&) {
            seconds = 0;  // an entry that is not a number waits nothing
        }
        delay = WaitSeconds(std::trunc(seconds));
        ++count;
        pos = end;
    }
    return delay;
}

ClassRules ReadClassRules(const string& mailClass) {
    ClassRules rules;
    std::shared_ptr<RegKey> mail = ConfigKey();
    // Messages without a class follow MaxAttempt and Schedule of the Mail key itself.
    std::unique_ptr<RegKey> classKey;
    if (mailClass.HasText())
        classKey.reset(new RegKey(*mail, (string("MailClass\\") + mailClass).c_str(), false, RegKey::ReadAccess));
    const RegKey& key = classKey ? *classKey : *mail;
    std::string keyPath = kMailKeyPath;
    if (classKey) keyPath += "\\MailClass\\" + LogSafe(mailClass).str();
    rules.maxAttempt = CheckedNumber(key, keyPath.c_str(), "MaxAttempt", 0, INT_MAX, 0,
                                     "число попыток от 1 до 2147483647, 0 или пусто: без предела");
    rules.schedule = key["Schedule"].Text();
    // Every entry must be a wait in seconds: one that is not would retry at once, again and again.
    const std::string& s = rules.schedule.str();
    for (size_t pos = 0, end; pos < s.size(); pos = end) {
        while (pos < s.size() && s[pos] == ' ') ++pos;
        if (pos >= s.size()) break;
        end = s.find(' ', pos);
        if (end == std::string::npos) end = s.size();
        bool valid = true;
        try {
            valid = ScanNumber(0, s.substr(pos, end - pos).c_str(), 0, true) >= 0;
        } catch (const NumericSyntax&) {
            valid = false;
        }
        if (!valid)
            throw BadSetting(BadSettingText(keyPath.c_str(), "Schedule", "\"" + LogSafe(rules.schedule) + "\"",
                                            "паузы в секундах через пробел, числа не меньше 0"));
    }
    return rules;
}

void ReadAttemptLog(const string& path, unsigned* count, RealTime* last) {
    *count = 0;
    *last = RealTime();
    // Read without a look for it first: its callers know it is there, and a missing one
    // fails the load.
    string text;
    try {
        text = LoadTextFile(path);
    } catch (const QuilletException&) {
        return;
    }
    const std::string& s = text.str();
    for (size_t at = 0, eol; (eol = s.find("\r\n", at)) != std::string::npos; at = eol + 2) {
        ++*count;
        try {
            RealTime t = ScanDateTime(0, s.substr(at, eol - at).c_str(), true, nullptr);
            if (!*last || t > *last) *last = t;
        } catch (...) {
            // a line that does not parse still counts as a failure
        }
    }
}

string AttemptLogPath(const string& outbox, const string& messagePath) {
    return MakePathSpec(outbox) + "Wait\\" + GetFileFromPath(messagePath) + ".msglog";
}

std::vector<keystring> ListOutbox(const string& outbox) {
    std::vector<keystring> names;
    for (FileFinder f(MakePathSpec(outbox) + "*.*"); f.Found(); f.Next())
        if (!(f.Attributes() & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN))) names.push_back(keystring(f.Name()));
    std::sort(names.begin(), names.end());
    return names;
}

size_t HeaderEnd(const std::string& text) {
    size_t pos = 0;
    while (pos < text.size()) {
        Line line = NextLine(text.data(), text.size(), pos);
        if (IsBlankLine(text.data(), line)) return line.crlf || line.end == text.size() ? pos : 0;
        if (!line.crlf) return 0;
        pos = line.next;
    }
    return 0;
}

namespace {

keystring NameOf(const OutboxMessage& m) { return keystring(GetFileFromPath(m.path)); }

// Whether a state file of a message is there: from the pass's listing of the wait directory
// when it has one.
bool HasStateFile(const MailService& service, const string& path) {
    if (service.waitNames) return service.waitNames->count(keystring(GetFileFromPath(path))) != 0;
    return FileExists(path);
}

// Attempts the service could not write before: written now when the volume allows, counted
// either way. A time in the future in the attempt log (the clock was wrong when it was
// written) counts as the moment the service first saw it, so that the message waits its
// schedule once and is then sent, never held back for ever.
void RememberedAttempts(MailService& service, OutboxMessage& m) {
    auto it = service.memory.find(NameOf(m));
    RealTime nowUtc = RealTime::Now().UTC();
    if (m.LastAttempt > nowUtc) {
        if (it == service.memory.end()) it = service.memory.emplace(NameOf(m), MessageMemory()).first;
        if (!it->second.futureSeen) {
            it->second.futureSeen = nowUtc;
            service.Log().WriteText(Runlog::Error, "Время в журнале попыток отправки позже текущего (" +
                                                       Format(0, m.LastAttempt, true, false) +
                                                       "), оно считается временем первой проверки: " + m.attemptLogPath);
        }
        m.LastAttempt = it->second.futureSeen;
    }
    if (it == service.memory.end() || it->second.attempts.empty()) return;
    std::vector<RealTime>& unwritten = it->second.attempts;
    RealTime kept = m.LastAttempt;
    m.AttemptCount += unsigned(unwritten.size());
    for (const RealTime& t : unwritten)
        if (!kept || t > kept) kept = t;
    while (!unwritten.empty()) {
        m.LastAttempt = unwritten.front();
        try {
            AppendAttempt(m);
        } catch (const QuilletException&) {
            break;  // still not writable: memory keeps the rest
        }
        unwritten.erase(unwritten.begin());
    }
    m.LastAttempt = kept;
    if (unwritten.empty())
        service.Log().WriteText(Runlog::Detail, "Журнал попыток отправки дописан из памяти: " + m.attemptLogPath);
}

// Reads what has become of each recipient (the record, then what memory holds that could not
// be written yet) and the recipients still owed. False when nobody is owed any more: the
// message is then finished (a restart after its last recipient was settled).
bool LoadRecipients(MailService& service, OutboxMessage& m) {
    m.recipientRecordPath = RecipientRecordPath(service.outboxDirectory, m.path);
    std::vector<RecipientEntry> record;
    m.recordFound = HasStateFile(service, m.recipientRecordPath);
    if (m.recordFound) record = ReadRecipientRecord(m.recipientRecordPath);
    auto it = service.memory.find(NameOf(m));
    if (it != service.memory.end() && !it->second.recipients.empty()) {
        if (AppendRecipientRecord(m.recipientRecordPath, it->second.recipients)) {
            m.recordFound = true;
            record = ReadRecipientRecord(m.recipientRecordPath);
            it->second.recipients.clear();
        } else {
            for (const RecipientEntry& e : it->second.recipients) {
                RecipientEntry kept = e;
                kept.address = LogSafe(e.address);
                record.push_back(kept);
            }
        }
    }
    m.recipients = RecipientStates(m.recipient, record);
    std::string owed;
    for (const RecipientEntry& e : m.recipients)
        if (e.state == RecipientState::Pending) owed += (owed.empty() ? "" : ", ") + e.address.str();
    m.owed = string(owed);
    if (record.empty()) return true;
    for (const RecipientEntry& e : m.recipients)
        if (e.state != RecipientState::Pending)
            service.Log().WriteText(Runlog::Detail, string(e.state == RecipientState::Delivered ? "Уже доставлено: "
                                                                                              : "Уже отклонён: ") +
                                                        LogSafe(e.address));
    if (m.owed.HasText()) return true;
    FinishRecipients(service, m);
    return false;
}

}  // namespace

OutboxMessage ReadMessage(MailService& service, const string& path) {
    OutboxMessage m;
    m.path = path;
    Runlog& log = service.Log();
    try {
        FilePort file(path, CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file.IsValid()) {  // still being written, or gone, or not to be opened at all
            m.OpenError = GetLastError();
            return m;
        }
        FILETIME created, accessed, written;
        if (GetFileTime(file.Get(), &created, &accessed, &written))
            m.created = RealTime(double((ULONGLONG(created.dwHighDateTime) << 32) | created.dwLowDateTime));
        std::string head(kHeaderWindow, '\0');
        LONGLONG pos = 0;
        DWORD got = file.Read(&pos, &head[0], DWORD(head.size()));
        if (got == 0) {
            m.why = "Файл письма пуст";
            m.Disposition = Rejected;
            return m;
        }
        log.WriteText(Runlog::Progress, string("Открыто сообщение ") + path);

        MessageHeaders headers = ParseHeaders(head.data(), got);
        if (headers.hasTo) m.recipient = headers.to;
        if (headers.hasClass) m.mailClass = headers.mailClass;
        if (m.mailClass.HasText()) log.WriteText(Runlog::Progress, string("Класс сообщения: ") + LogSafe(m.mailClass));

        if (!(service.debugFlags & kNoAttemptLogs)) {
            m.attemptLogPath = AttemptLogPath(service.outboxDirectory, path);
            unsigned count = 0;
            m.attemptLogFound = HasStateFile(service, m.attemptLogPath);
            if (m.attemptLogFound) ReadAttemptLog(m.attemptLogPath, &count, &m.LastAttempt);
            m.AttemptCount += count;
            RememberedAttempts(service, m);
        }

        m.Disposition = Ready;
        if (ApplyClassRules(service, m) && m.Disposition == Ready) {
            ++m.AttemptCount;
            log.Write(Runlog::Progress, "Попытка отправки №%u", m.AttemptCount);
            if (m.LastAttempt) {
                double seconds = std::trunc((RealTime::Now().UTC() - m.LastAttempt).value / RealTime::Second);
                // Times read from a file may lie anywhere: the count is kept within an int.
                int shown = seconds >= INT_MAX ? INT_MAX : seconds <= INT_MIN ? INT_MIN : int(seconds);
                log.Write(Runlog::Progress, "От предыдущей попытки отправки этого сообщения прошло секунд: %i", shown);
            }
        }

        // A message given up by its class may have reached some recipients already: it is
        // then finished as delivered to them.
        if (m.Disposition == Rejected && m.recipient.HasText()) {
            m.recipientRecordPath = RecipientRecordPath(service.outboxDirectory, path);
            if (HasStateFile(service, m.recipientRecordPath) && LoadRecipients(service, m)) FinishRecipients(service, m);
        }
        if (m.Disposition == Ready) {
            if (m.recipient.IsEmpty()) {
                RegKey smtp(*ConfigKey(), "SMTP", false, RegKey::ReadAccess);
                m.recipient = smtp["Recipient"].Text();
                if (m.recipient.IsEmpty()) throw QLAppException("Не задан адрес получателя этого сообщения");
                // A line end would write a header of its own into the message, brackets or
                // blanks parameters into RCPT TO. The setting is at fault, not the message:
                // it waits, uncounted, until the setting is mended.
                if (!IsPlainAddressList(m.recipient.str())) {
                    log.WriteText(Runlog::Error, "Недопустимый адрес получателя (\"Recipient\"), письмо ждёт исправления "
                                                 "настройки: " + LogSafe(m.recipient));
                    m.recipient = string();
                    m.WaitMs = service.RetryTimeout() * service.secondMs;
                    m.Disposition = Deferred;
                    return m;
                }
            }
            if (!LoadRecipients(service, m)) return m;
            // A file shorter than the header window has been read whole already; of a longer
            // one the window is kept and the rest is read while it is sent. Only a header
            // block that ends beyond the window, with a To line to insert, needs it all.
            m.content = string(head.data(), got);
            if (got == head.size()) {
                m.restAt = got;
                if (!headers.hasTo && HeaderEnd(m.content.str()) == 0) {
                    m.content = LoadTextFile(file);
                    m.restAt = 0;
                }
            }
            if (!headers.hasTo) {
                size_t end = HeaderEnd(m.content.str());
                if (end != 0) {
                    std::string c = m.content.str();
                    c.insert(end, "To: " + m.recipient.str() + "\r\n");
                    m.content = string(std::move(c));
                }
            }
        }
    } catch (const QuilletException& e) {
        log.WriteText(Runlog::Error, string("Сервис Postvane (отправка письма), ошибка при загрузке письма (файл \"") +
                                         path + "\"): " + e.Reason());
        m.why = e.Reason();
        m.Disposition = Rejected;
    }
    return m;
}

bool ApplyClassRules(MailService& service, OutboxMessage& m) {
    // A message never tried before can be neither over its limit nor waiting.
    if (m.AttemptCount == 0) return true;
    Runlog& log = service.Log();
    ClassRules rules;
    try {
        rules = ReadClassRules(m.mailClass);
    } catch (const BadSetting& e) {
        // The setting is at fault, not the message: it waits, uncounted, until it is mended.
        log.WriteText(Runlog::Error, e.Reason() + "; письмо ждёт исправления настройки");
        m.WaitMs = service.RetryTimeout() * service.secondMs;
        m.Disposition = Deferred;
        return false;
    }
    if (rules.maxAttempt != 0 && m.AttemptCount >= rules.maxAttempt) {
        if (m.mailClass.HasText())
            m.why = FormatBuffer(256, "Слишком много неудачных попыток отправки (для класса %s предел %u попыток)",
                                 LogSafe(m.mailClass).c_str(), rules.maxAttempt);
        else
            m.why = FormatBuffer(256, "Слишком много неудачных попыток отправки (предел %u попыток)", rules.maxAttempt);
        log.WriteText(Runlog::Error, m.why);
        m.Disposition = Rejected;
        return false;
    }
    if (m.AttemptCount != 0 && m.LastAttempt) {
        unsigned delay = ScheduleDelay(rules.schedule, m.AttemptCount, service.RetryTimeout());
        // An attempt logged in the future (the clock was ahead then) counts as made now: the
        // message waits its schedule's wait from now at most.
        RealTime last = m.LastAttempt;
        RealTime nowUtc = RealTime::Now().UTC();
        if (last > nowUtc) last = nowUtc;
        RealTime due = (last + RealTime(double(delay) * service.secondMs * RealTime::Millisecond)).Local();
        RealTime now = RealTime::Now();
        if (due > now) {
            log.Write(Runlog::Detail, "Сообщение должно быть отправлено не ранее %s %s",
                      Format(2, due, false, true).c_str(), Format(2, due, true, false).c_str());
            m.WaitMs = DWORD((due - now).value / RealTime::Millisecond);
            m.Disposition = Deferred;
        }
    }
    return true;
}

void FinishRecipients(MailService& service, OutboxMessage& m) {
    bool delivered = false;
    for (const RecipientEntry& e : m.recipients)
        if (e.state == RecipientState::Delivered) delivered = true;
    if (!delivered) {
        m.Disposition = Rejected;
        return;
    }
    for (const RecipientEntry& e : m.recipients)
        if (e.state == RecipientState::Pending)
            service.Log().WriteText(Runlog::Error, "Письмо не доставлено получателю: " + LogSafe(e.address) + "; " +
                                                       LogSafe(m.why));
    m.Disposition = Delivered;
}

unsigned MaxAgeSeconds(MailService& service) {
    try {
        return CheckedNumber(*ConfigKey(), kMailKeyPath, "MaxAge", 0, INT_MAX, kDefaultMaxAgeSeconds,
                             "число секунд, 0: без предела");
    } catch (const BadSetting& e) {
        service.Log().WriteText(Runlog::Error, e.Reason() + "; действует 432000 (5 суток)");
        return kDefaultMaxAgeSeconds;
    }
}

void CountFailure(MailService& service, OutboxMessage& m) {
    m.LastAttempt = RealTime::Now().UTC();
    if (ApplyClassRules(service, m)) {
        if (m.attemptLogPath.HasText()) {
            try {
                AppendAttempt(m);
                m.attemptLogFound = true;
            } catch (const QuilletException& e) {
                // The count must hold all the same, or a full volume would retry the message
                // at once and past its limit: memory keeps it until the log can be written.
                service.memory[NameOf(m)].attempts.push_back(m.LastAttempt);
                service.Log().WriteText(Runlog::Error, "Журнал попыток отправки не удаётся дописать, попытка учтена "
                                                       "в памяти: " + LogSafe(e.Reason()));
            }
        }
        // Every message has an end: one that has failed for longer than MaxAge is given up.
        unsigned maxAge = MaxAgeSeconds(service);
        double age = m.created ? (m.LastAttempt - m.created).value / RealTime::Second : 0;
        if (maxAge != 0 && age >= maxAge) {
            m.why = FormatBuffer(256, "Письмо не доставлено за %.0f с (предел MaxAge %u с)", std::floor(age), maxAge);
            service.Log().WriteText(Runlog::Error, m.why + ", оно отправлено в недоставленные; последняя ошибка: " +
                                                       LogSafe(m.lastFailure));
            m.Disposition = Rejected;
        }
    }
    if (m.Disposition == Rejected) {
        if (m.lastFailure.HasText()) m.why += "; последняя ошибка: " + LogSafe(m.lastFailure);
        FinishRecipients(service, m);
    }
}

void AppendAttempt(const OutboxMessage& m) {
    string waitDir = GetParentPath(m.attemptLogPath);
    CreatePath(waitDir, nullptr);
    FilePort file(m.attemptLogPath, CreateFileA(m.attemptLogPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                                FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LONGLONG end = 0;
    file.Seek(&end, FILE_END);
    string line = Format(0, m.LastAttempt, true, false) + "\r\n";
    file.Write(line.c_str(), line.Length());
}

bool DeleteMessage(MailService& service, const OutboxMessage& m) {
    if (!RemoveFileSoon(service, m.path)) return false;
    service.Log().WriteText(Runlog::Progress, string("Успешно удалено письмо (файл \"") + m.path + "\")");
    if (m.attemptLogPath.HasText()) DeleteAttemptLog(service, m.attemptLogPath);
    if (m.recordFound) DeleteAttemptLog(service, m.recipientRecordPath);
    SetLastError(0);
    return true;
}

void DeleteAttemptLog(MailService& service, const string& path) {
    if (RemoveFile(path)) return;
    service.Log().WriteText(Runlog::Error,
                            FormatBuffer(256, "Не удаётся удалить журнал попыток отправки, он оставлен (системная ошибка %08x): ",
                                         unsigned(GetLastError())) +
                                path);
}

}  // namespace Postvane

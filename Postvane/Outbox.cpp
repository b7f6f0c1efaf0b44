#include "Outbox.h"
#include <cstring>
#include <set>
#include "Disposal.h"
#include "MailService.h"
#include "QueueStatus.h"
#include "ServiceLog.h"
#include "Setting.h"
#include "Settled.h"
#include "SmtpDialogue.h"
#include "SmtpSession.h"
#include "SmtpTransport.h"
#include "qlframe.h"

namespace Postvane {

namespace {

// A file that cannot be opened is looked at again within the pass after these pauses,
// doubling from the first to the longest, kMaxLooks times in all; then the pass leaves it
// alone: a file still being written is looked at again each kLongestRelookMs through the
// service's wait, any other "Retry Timeout" later, its trouble logged once.
const DWORD kFirstRelookMs = 20;
const DWORD kLongestRelookMs = 1000;
const unsigned kMaxLooks = 8;

// True for the open errors of a file that its writer still holds.
bool StillBeingWritten(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

// Opens the service's session when it has none: connect, greeting, TLS, sign-in. False when
// no server is set. A failure leaves no connection behind.
bool OpenSession(MailService& service) {
    SmtpSession& session = service.session;
    if (session.IsReady()) return true;
    PhaseTimer connect(service.profile, DeliveryPhase::Connect);
    bool connected = SmtpConnect(session);
    connect.Stop();
    if (!connected) return false;
    PhaseTimer hello(service.profile, DeliveryPhase::Hello);
    try {
        SmtpHello(session);
    } catch (...) {
        service.Log().Write(Runlog::Progress, "Ошибка во время отправки письма, разрываем соединение");
        SmtpDisconnect(session);
        throw;
    }
    return true;
}

// 530 to MAIL FROM asks for a sign-in the service did not make: a matter of the settings and
// the server, which every message would meet alike.
const unsigned kAuthRequired = 530;
const unsigned kServiceClosing = 421;

// Marks the recipients in the message as the attempt left them, returning the lines the
// record is to get. whole: the message itself was refused for good with failure; then every
// recipient the server took is refused with it.
std::vector<RecipientEntry> Mark(OutboxMessage& m, const TransactionOutcome& outcome, bool whole) {
    std::vector<RecipientEntry> lines;
    RealTime now = RealTime::Now().UTC();
    std::vector<string> owed = Recipients(m.owed);
    for (size_t i = 0; i < owed.size(); ++i) {
        const RecipientOutcome* said = i < outcome.recipients.size() ? &outcome.recipients[i] : nullptr;
        RecipientEntry line;
        line.address = owed[i];
        line.when = now;
        if (said && said->Accepted() && outcome.Delivered()) {
            line.state = RecipientState::Delivered;
            line.reply = said->reply;
        } else if (whole && (!said || said->Accepted() || said->code == 0)) {
            line.state = RecipientState::Refused;
            line.reply = outcome.failure;
        } else if (said && IsPermanentReply(said->code)) {
            line.state = RecipientState::Refused;
            line.reply = said->reply;
        } else {
            line.reply = said && IsTemporaryReply(said->code) ? said->reply : outcome.failure;
        }
        for (RecipientEntry& e : m.recipients)
            if (e.address == line.address && e.state == RecipientState::Pending) {
                e.state = line.state;
                e.reply = line.reply;
                e.when = now;
            }
        lines.push_back(line);
    }
    return lines;
}

// Writes the attempt's lines into the recipient record, or keeps them in memory until it can.
void Record(MailService& service, OutboxMessage& m, const std::vector<RecipientEntry>& lines) {
    if (AppendRecipientRecord(m.recipientRecordPath, lines)) {
        m.recordFound = true;
        return;
    }
    std::vector<RecipientEntry>& kept = service.memory[keystring(GetFileFromPath(m.path))].recipients;
    kept.insert(kept.end(), lines.begin(), lines.end());
    service.Log().WriteText(Runlog::Error, FormatBuffer(256, "Список получателей письма не удаётся записать (системная "
                                                             "ошибка %08x), он сохранён в памяти: ",
                                                        unsigned(GetLastError())) +
                                               m.recipientRecordPath);
}

// Decides from the outcome of an attempt what becomes of the message and of each of its
// recipients: delivered to those the server took; finished for good for those it refused for
// good (5yz), or all of them when it refused the message itself (5yz to MAIL FROM or to the
// content, or its SIZE limit); owed still to the others, a counted failure that its class and
// MaxAge judge. A failure that concerns the server or the service counts against nothing:
// the pass ends. Logs what happened.
void Decide(MailService& service, OutboxMessage& m, const TransactionOutcome& outcome) {
    Runlog& log = service.Log();
    bool failAfterData = (service.debugFlags & kFailAfterData) && m.mailClass.HasText();
    if (failAfterData) {
        log.Write(Runlog::Error, "Произошла ошибка в ходе передачи данных письма, засчитывается как неудачная попытка");
        CountFailure(service, m);
        return;
    }
    bool allTaken = outcome.Delivered();
    for (const RecipientOutcome& r : outcome.recipients)
        if (!r.Accepted()) allTaken = false;
    if (allTaken && outcome.recipients.size() == Recipients(m.owed).size()) {
        // The usual case: everybody owed has it, nothing is left to record.
        for (RecipientEntry& e : m.recipients)
            if (e.state == RecipientState::Pending) e.state = RecipientState::Delivered;
        m.Disposition = Delivered;
        return;
    }
    m.Disposition = AbortPass;
    m.lastFailure = outcome.failure;
    // A refusal stands even when the session is lost after it (a failed RSET).
    bool whole = !outcome.stopped && !outcome.Delivered() &&
                 ((outcome.reached == TransactionStep::Mail && (outcome.tooBig || (IsPermanentReply(outcome.code) &&
                                                                                   outcome.code != kAuthRequired))) ||
                  (outcome.reached == TransactionStep::Content && IsPermanentReply(outcome.code)));
    bool counted = false;
    if (outcome.stopped) {
        if (outcome.reached == TransactionStep::Content)
            log.Write(Runlog::Survived,
                      "Передача данных письма прервана остановом сервиса, попытка отправки не засчитывается");
    } else if (whole) {
        counted = true;
    } else if (outcome.Delivered()) {
        counted = true;
    } else if (outcome.reached == TransactionStep::Content) {
        log.Write(Runlog::Error, "Произошла ошибка в ходе передачи данных письма, засчитывается как неудачная попытка");
        counted = true;
    } else if (outcome.reached == TransactionStep::Data) {
        log.Write(Runlog::Survived, "Произошла ошибка до начала передачи данных письма, попытка отправки не засчитывается");
    } else if (outcome.reached == TransactionStep::Recipients && outcome.code != 0 && outcome.code != kServiceClosing) {
        // A recipient the server refuses would block every later message if the pass simply
        // ended: it counts against this message instead. 421 closes the whole session: that
        // concerns the server.
        counted = true;
    }
    // The pass ends with an uncounted failure, and the session with it.
    if ((outcome.sessionLost || !counted) && !outcome.stopped)
        log.Write(Runlog::Progress, "Ошибка во время отправки письма, закрываем сеанс SMTP");
    // The reason may quote the server: shown with its control characters escaped.
    if (!outcome.Delivered()) log.WriteText(outcome.stopped ? Runlog::Survived : Runlog::Error, LogSafe(outcome.failure));
    if (!outcome.Delivered() && !outcome.stopped) RecordLastFailure(service.outboxDirectory, outcome.failure);
    if (!counted) return;

    std::vector<RecipientEntry> lines = Mark(m, outcome, whole);
    bool owed = false, delivered = false;
    for (const RecipientEntry& e : m.recipients) {
        if (e.state == RecipientState::Pending) owed = true;
        if (e.state == RecipientState::Delivered) delivered = true;
    }
    if (whole && !owed && !delivered) {
        log.WriteText(Runlog::Error, "Сервер окончательно отказал в приёме письма, оно отправлено в недоставленные: " +
                                         LogSafe(outcome.failure));
    } else {
        for (const RecipientEntry& e : lines)
            if (e.state == RecipientState::Refused) {
                string refusal = "Получатель отклонён сервером: " + LogSafe(e.address) + "; " + LogSafe(e.reply);
                log.WriteText(Runlog::Error, refusal);
                RecordLastFailure(service.outboxDirectory, refusal);
            }
    }
    // Recorded before the message moves on, so that a message whose copy cannot be kept yet
    // is never offered again to whom it is done for.
    Record(service, m, lines);
    if (!owed) {
        FinishRecipients(service, m);
        return;
    }
    if (outcome.Delivered() || outcome.reached == TransactionStep::Recipients)
        log.Write(Runlog::Error, delivered || outcome.Delivered()
                                     ? "Письмо доставлено не всем получателям, засчитывается как неудачная попытка"
                                     : "Сервер отказался принять адрес получателя, засчитывается как неудачная попытка");
    CountFailure(service, m);
}

// One transaction of the message on the open session.
TransactionOutcome Transact(MailService& service, OutboxMessage& m) {
    PhaseTimer transaction(service.profile, DeliveryPhase::Transaction);
    service.Log().Write(Runlog::Progress, "Соединение установлено, отправляем письмо");
    return service.session.Send(m.owed, m.Content());
}

void Lower(DWORD* next, DWORD ms) {
    if (next && ms < *next) *next = ms;
}

// Milliseconds of "Retry Timeout": how long a file set aside waits for its next look.
DWORD RetryMs(MailService& service) { return service.RetryTimeout() * service.secondMs; }

// The files of the wait directory, in one listing.
std::set<keystring> WaitNames(const string& outbox) {
    std::set<keystring> names;
    for (FileFinder f(MakePathSpec(outbox) + "Wait\\*.*"); f.Found(); f.Next())
        if (!(f.Attributes() & FILE_ATTRIBUTE_DIRECTORY)) names.insert(keystring(f.Name()));
    return names;
}

// The names of the message files that have a done mark among the wait directory's files.
std::set<keystring> MarkedNames(const std::set<keystring>& waitNames) {
    std::set<keystring> names;
    static const char kSuffix[] = ".done";
    const size_t suffix = sizeof kSuffix - 1;
    for (const keystring& file : waitNames) {
        std::string name = file.c_str();
        if (name.size() > suffix && lstrcmpiA(name.c_str() + name.size() - suffix, kSuffix) == 0)
            names.insert(keystring(name.substr(0, name.size() - suffix)));
    }
    return names;
}

// Lends the pass's listing of the wait directory to the reading of messages while it lives.
class WaitListing {
public:
    WaitListing(MailService& service, const std::set<keystring>& names) : service_(service) { service.waitNames = &names; }
    ~WaitListing() { service_.waitNames = nullptr; }
    WaitListing(const WaitListing&) = delete;
    WaitListing& operator=(const WaitListing&) = delete;
private:
    MailService& service_;
};

// A finished message (delivered or rejected, its copy made) leaves the outbox. When its file
// cannot be removed, the done mark keeps every later pass and run from sending it again,
// and the removal is tried again after "Retry Timeout".
void Settle(MailService& service, const OutboxMessage& m, bool delivered, DWORD* next) {
    keystring name(GetFileFromPath(m.path));
    if (DeleteMessage(service, m)) {
        service.leftFiles.erase(name);
        service.memory.erase(name);
        return;
    }
    DWORD error = GetLastError();
    LeftFile& left = service.LeaveAlone(name);
    left.settled = true;
    left.logged = true;
    service.LeaveAlone(name, RetryMs(service));
    Lower(next, RetryMs(service));
    const char* what = delivered ? "отправленного" : "недоставленного";
    if (WriteDoneMark(DoneMarkPath(service.outboxDirectory, m.path), m.path, delivered)) {
        service.Log().WriteText(Runlog::Error,
                                FormatBuffer(256, "Файл %s письма не удаётся удалить (системная ошибка %08x), письмо "
                                                  "отмечено как обработанное и будет удалено позже: ",
                                             what, unsigned(error)) +
                                    m.path);
    } else {
        service.Log().WriteText(Runlog::Error,
                                FormatBuffer(256, "Файл %s письма не удаётся удалить (системная ошибка %08x) и не "
                                                  "удаётся отметить (системная ошибка %08x), до перезапуска сервиса "
                                                  "оно не будет отправлено: ",
                                             what, unsigned(error), unsigned(GetLastError())) +
                                    m.path);
    }
}

// The note beside a bad-mail copy that says why the message was given up; the copy itself is
// the message as it was, to be moved back into the outbox once the cause is mended.
void Note(MailService& service, const OutboxMessage& m, const string& copy) {
    std::vector<RecipientEntry> refused;
    for (const RecipientEntry& e : m.recipients)
        if (e.state == RecipientState::Refused) refused.push_back(e);
    string failure = m.why;
    if (refused.empty() && failure.IsEmpty()) failure = m.lastFailure;
    if (!WriteWhyFile(copy, refused, failure))
        service.Log().WriteText(Runlog::Error, FormatBuffer(256, "Не удаётся записать причину недоставки (системная "
                                                                 "ошибка %08x): ",
                                                            unsigned(GetLastError())) +
                                                   WhyPath(copy));
}

// A finished message that has been moved to its keeping place: its state goes with it.
void Moved(MailService& service, const OutboxMessage& m) {
    service.Log().WriteText(Runlog::Progress, string("Успешно удалено письмо (файл \"") + m.path + "\")");
    if (m.attemptLogFound) DeleteAttemptLog(service, m.attemptLogPath);
    if (m.recordFound) DeleteAttemptLog(service, m.recipientRecordPath);
    service.leftFiles.erase(keystring(GetFileFromPath(m.path)));
    service.memory.erase(keystring(GetFileFromPath(m.path)));
}

// A message finished in an earlier pass or run whose file stayed: only its removal is
// left. True when the file is such a message (whether or not it could go now).
bool RemoveSettled(MailService& service, const string& outbox, const keystring& name, const string& path,
                   const std::set<keystring>& marked, DWORD* next) {
    auto left = service.leftFiles.find(name);
    bool settled = left != service.leftFiles.end() && left->second.settled;
    string markPath = DoneMarkPath(outbox, path);
    if (!settled && marked.count(name)) {
        DoneMark mark;
        settled = ReadDoneMark(markPath, &mark) && DoneMarkMatches(mark, path);
        if (!settled) {
            // Written for an earlier file of that name: this one is new.
            RemoveFile(markPath);
            service.Log().WriteText(Runlog::Detail, "Удалена устаревшая отметка об обработке письма: " + markPath);
        }
    }
    if (!settled) return false;
    if (RemoveFile(path)) {
        service.Log().WriteText(Runlog::Progress, string("Успешно удалено письмо (файл \"") + path + "\")");
        if (!(service.debugFlags & kNoAttemptLogs)) DeleteAttemptLog(service, AttemptLogPath(outbox, path));
        DeleteAttemptLog(service, RecipientRecordPath(outbox, path));
        RemoveFile(markPath);  // a mark that stays belongs to no file: the next start removes it
        service.leftFiles.erase(name);
        return true;
    }
    LeftFile& entry = service.LeaveAlone(name);
    entry.settled = true;
    service.LeaveAlone(name, RetryMs(service));
    Lower(next, RetryMs(service));
    return true;
}

// True for the names SmtpSendMail gives: decimal digits and ".eml".
bool IsSubmissionName(const char* name) {
    const char* p = name;
    while (*p >= '0' && *p <= '9') ++p;
    return p != name && lstrcmpiA(p, ".eml") == 0;
}

// A hidden message file no writer holds any more: a submission that never finished.
void SetAsideUnfinished(MailService& service, const string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;  // still being written, or not ours to take
    CloseHandle(h);
    Runlog& log = service.Log();
    log.WriteText(Runlog::Error, "Найден незавершённый файл сообщения, запись которого была прервана: " + path);
    string copy;
    Kept kept = KeepCopy(service, path, false, &copy);
    if (kept == Kept::Failed) return;  // the next start tries again
    if (kept == Kept::Copied) SetFileAttributesA(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (RemoveFile(path))
        log.WriteText(Runlog::Progress, string("Успешно удалено письмо (файл \"") + path + "\")");
}

// The dial-up line for the pass when UseRemoteAccess asks for one (read once per pass, when
// a message is first due). False when there is none to be had: the line cannot be made (the
// client has logged why, with its code) or UseRemoteAccess cannot be used (logged here).
bool ObtainLine(MailService& service, int* remoteAccess, bool* holding,
                rptr<PKXDK::Internet::DialupClient::Networking>* hold) {
    try {
        if (*remoteAccess < 0)
            *remoteAccess = int(CheckedNumber(*ConfigKey(), kMailKeyPath, "UseRemoteAccess", 0, 1, 0, "0 или 1"));
        if (*remoteAccess && !*holding) {
            *hold = service.dialup.Connect(false);
            *holding = true;
        }
        return true;
    } catch (const PKXDK::Internet::DialupClient::Failure&) {
        return false;
    } catch (const BadSetting& e) {
        service.Log().WriteText(Runlog::Error, e.Reason());
        return false;
    }
}

}  // namespace

void RecoverOutbox(MailService& service) {
    string outbox = MakePathSpec(service.outboxDirectory);
    std::vector<string> unfinished;
    // The names of the outbox as one listing shows them: whether a state file still has its
    // message is looked up here, since a lookup of a missing name on disk can read the whole
    // directory (Wine), once per orphan.
    std::set<keystring> present;
    for (FileFinder f(outbox + "*.*"); f.Found(); f.Next()) {
        if (f.Attributes() & FILE_ATTRIBUTE_DIRECTORY) continue;
        if ((f.Attributes() & FILE_ATTRIBUTE_HIDDEN) && IsSubmissionName(f.Name())) unfinished.push_back(outbox + f.Name());
        else present.insert(keystring(f.Name()));
    }
    for (const string& path : unfinished) {
        SetAsideUnfinished(service, path);
        // One that stays (still being written) keeps its state files.
        if (FileExists(path)) present.insert(keystring(GetFileFromPath(path)));
    }

    // A recipient record left behind would decide for a later message of the same name who
    // has had it already.
    static const char* const kStates[] = {".msglog", ".done", ".rcpt"};
    std::vector<string> orphans;
    for (FileFinder f(outbox + "Wait\\*.*"); f.Found(); f.Next()) {
        if (f.Attributes() & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::string name = f.Name();
        for (const char* state : kStates) {
            size_t n = std::strlen(state);
            if (name.size() > n && lstrcmpiA(name.c_str() + name.size() - n, state) == 0 &&
                !present.count(keystring(name.substr(0, name.size() - n).c_str())))
                orphans.push_back(outbox + "Wait\\" + name.c_str());
        }
    }
    for (const string& path : orphans)
        if (RemoveFile(path)) service.Log().WriteText(Runlog::Detail, "Удалён файл состояния письма, которого больше нет: " + path);
}

bool SendMessage(MailService& service, OutboxMessage& m) {
    Runlog& log = service.Log();
    SmtpSession& session = service.session;
    m.Disposition = Skipped;
    try {
        {
            PhaseTimer events(service.profile, DeliveryPhase::Events);
            service.WriteEvent(kEventSendStart, "SENDSTART", string("Отправляется ") + m.path);
        }
        log.WriteText(Runlog::Progress, string("Отправляем ") + m.path);
        m.Disposition = AbortPass;
        bool reused = session.IsReady();
        if (OpenSession(service)) {
            TransactionOutcome outcome = Transact(service, m);
            // A session kept from an earlier message that the server has closed meanwhile (a
            // dropped connection, 421 to MAIL FROM) says nothing about this message: it goes
            // once more on a new session.
            if (reused && outcome.sessionLost && !outcome.stopped && outcome.reached == TransactionStep::Mail) {
                log.WriteText(Runlog::Detail, "Сервер закрыл сеанс SMTP (" + LogSafe(outcome.failure) +
                                                  "), открываем новый");
                if (OpenSession(service)) outcome = Transact(service, m);
            }
            Decide(service, m, outcome);
            if (session.transactions >= kMessagesPerSession) session.End();
        } else {
            RecordLastFailure(service.outboxDirectory, string("Почтовый сервер не задан, отправка невозможна"));
        }
    } catch (const QuilletException& e) {
        // A failure of the server, the line or a setting, or a stop request: said once, as
        // what it is. The reason may quote the server, so it is shown with its control
        // characters escaped.
        bool stopped = service.CheckStop(true);
        log.WriteText(stopped ? Runlog::Survived : Runlog::Error, LogSafe(e.Reason()));
        if (!stopped) RecordLastFailure(service.outboxDirectory, e.Reason());
        SmtpDisconnect(session);
    } catch (...) {
        // Anything else is a fault of the service's own code.
        log.Write(Runlog::Error, "Сервис Postvane (отправка письма): необработанное исключение неизвестного типа");
        SmtpDisconnect(session);
    }
    bool delivered = m.Disposition == Delivered;
    PhaseTimer events(service.profile, DeliveryPhase::Events);
    if (delivered) {
        log.Write(Runlog::Progress, "Отправка успешно завершена");
        service.WriteEvent(kEventSendDone, "SENDDONE", string("Успешно выполнена отправка файла ") + m.path);
    } else {
        service.WriteEvent(kEventSendFail, "SENDFAIL", string("Не получилось отправить файл ") + m.path);
    }
    return delivered;
}

namespace {

// Ends the pass's session however the pass ends: QUIT when it may still be said.
class SessionEnd {
public:
    explicit SessionEnd(MailService& service) : service_(service) {}
    ~SessionEnd() {
        PhaseTimer timer(service_.profile, DeliveryPhase::Close);
        service_.session.End();
    }
    SessionEnd(const SessionEnd&) = delete;
    SessionEnd& operator=(const SessionEnd&) = delete;
private:
    MailService& service_;
};

}  // namespace

bool OutboxPass(MailService& service, DWORD* next) {
    PhaseTimer timer(service.profile, DeliveryPhase::Pass);
    if (next) *next = INFINITE;
    string outbox = service.outboxDirectory;
    if (outbox.IsEmpty()) return false;
    bool keepGoing = true;
    // The dial-up line, once obtained, is held until the pass returns (also by an exception).
    rptr<PKXDK::Internet::DialupClient::Networking> dialupHold;
    bool holding = false;
    int remoteAccess = -1;  // UseRemoteAccess, read once per pass when a message is first due
    // The session carries the pass's messages one after another and ends with it, before the
    // line is let go.
    SessionEnd sessionEnd(service);
    DWORD pause = kFirstRelookMs;
    service.relookMs = 0;
    while (keepGoing) {
        unsigned pending = 0;
        PhaseTimer listing(service.profile, DeliveryPhase::List);
        std::vector<keystring> names = ListOutbox(outbox);
        service.ForgetFilesBut(names);
        std::set<keystring> waitNames = WaitNames(outbox);
        std::set<keystring> marked = MarkedNames(waitNames);
        WaitListing lent(service, waitNames);
        listing.Stop();
        for (const keystring& name : names) {
            if (!keepGoing) break;
            DWORD wait = 0;
            if (service.IsLeftAlone(name, &wait)) {
                Lower(next, wait);
                continue;
            }
            string path = MakePathSpec(outbox) + name;
            if (RemoveSettled(service, outbox, name, path, marked, next)) continue;
            PhaseTimer reading(service.profile, DeliveryPhase::Read);
            OutboxMessage m = ReadMessage(service, path);
            reading.Stop();
            if (m.Disposition == Skipped) {
                LeftFile& left = service.LeaveAlone(name);
                if (++left.looks < kMaxLooks) {
                    ++pending;
                    continue;
                }
                DWORD wait = kLongestRelookMs;
                if (!StillBeingWritten(m.OpenError)) {
                    wait = RetryMs(service);
                    if (!left.logged)
                        service.Log().WriteText(Runlog::Error, FormatBuffer(256, "Файл в почтовом ящике не удаётся открыть "
                                                                                 "(системная ошибка %08x), он оставлен: ",
                                                                            unsigned(m.OpenError)) +
                                                                   path);
                    left.logged = true;
                }
                service.LeaveAlone(name, wait);
                Lower(next, wait);
                continue;
            }
            auto left = service.leftFiles.find(name);
            if (left != service.leftFiles.end()) left->second.looks = 0;
            if (m.Disposition == Ready && !ObtainLine(service, &remoteAccess, &holding, &dialupHold)) {
                // No line: like a server that cannot be reached, this concerns every message
                // and counts against none. The pass ends and the service tries again after
                // "Retry Timeout".
                keepGoing = false;
                break;
            }
            if (m.Disposition == Ready) SendMessage(service, m);
            PhaseTimer keeping(service.profile, DeliveryPhase::Keep);
            string copy;
            Kept kept = Kept::NotKept;
            switch (m.Disposition) {
            case Delivered:
                // Moved in one step where it can be: the copy and the removal together.
                if (MoveToKeep(service, m.path, true)) {
                    Moved(service, m);
                    break;
                }
                DisposeMessage(service, m.path, true);
                Settle(service, m, true, next);
                break;
            case Rejected:
                // An undeliverable message never goes without its copy: when the copy fails
                // (a full disk, missing rights, a stop request) it stays, and a later pass
                // (after "Retry Timeout"), or the next run, rejects it again and keeps it.
                // An empty BadMailDir means such messages are not kept.
                if (MoveToKeep(service, m.path, false, &copy)) {
                    Note(service, m, copy);
                    Moved(service, m);
                    break;
                }
                kept = KeepCopy(service, m.path, false, &copy);
                if (kept == Kept::Copied) Note(service, m, copy);
                if (kept == Kept::Failed) {
                    if (service.CheckStop(true)) {
                        keepGoing = false;
                        break;
                    }
                    LeftFile& left = service.LeaveAlone(name);
                    if (!left.logged)
                        service.Log().WriteText(Runlog::Error,
                                                "Недоставленное письмо остаётся в почтовом ящике, пока его копию не "
                                                "удастся сохранить: " + m.path);
                    left.logged = true;
                    service.LeaveAlone(name, RetryMs(service));
                    Lower(next, RetryMs(service));
                    break;
                }
                Settle(service, m, false, next);
                break;
            case Deferred:
                Lower(next, m.WaitMs);
                break;
            case AbortPass:
                keepGoing = false;
                break;
            default:
                break;
            }
        }
        if (!keepGoing || pending == 0) break;
        // Some file could not be opened (most often: it is still being written): look again
        // after a short pause, longer each time.
        service.relookMs += pause;
        if (service.stopEvent.Wait(pause)) keepGoing = false;
        pause = pause * 2 > kLongestRelookMs ? kLongestRelookMs : pause * 2;
    }
    return keepGoing;
}

}  // namespace Postvane

#include "Outbox.h"
#include "Disposal.h"
#include "MailService.h"
#include "SmtpDialogue.h"
#include "SmtpTransport.h"
#include "qlframe.h"

namespace Postvane {

namespace {
const char kSource[] = "Postvane/Outbox";

// Accounts a failed attempt against the message: the attempt log grows by one line unless
// the class limit has now been reached, and the class schedule decides when it is due.
void CountFailure(MailService& service, OutboxMessage& m) {
    m.LastAttempt = RealTime::Now().UTC();
    if (ApplyClassRules(service, m) && m.attemptLogPath.HasText()) AppendAttempt(m);
}

// The SMTP conversation of one attempt; the handlers follow the steps outwards: a failure
// of the data is counted, a failure after the greeting closes the session with QUIT, a
// failure of the greeting only drops the connection.
void Converse(MailService& service, OutboxMessage& m, bool* delivered) {
    Runlog& log = service.Log();
    try {
        SmtpHello(service);
        try {
            log.Write(Runlog::Progress, "Соединение установлено, отправляем письмо");
            SmtpMailFrom(service);
            try {
                SmtpRcptTo(service, m.recipient);
            } catch (const SmtpRefusal& refusal) {
                // A recipient the server refuses for good would block every later message
                // if the pass simply ended: it counts against this message instead.
                if (refusal.IsPermanent()) {
                    log.Write(Runlog::Error, "Сервер отказался принять адрес получателя, засчитывается как неудачная попытка");
                    CountFailure(service, m);
                }
                throw;
            }
            bool beforeData = true;
            try {
                SmtpData(service, m.content, &beforeData);
                if ((service.debugFlags & kFailAfterData) && m.mailClass.HasText()) throw DebugException();
            } catch (...) {
                if (beforeData) {
                    log.Write(Runlog::Survived,
                              "Произошла ошибка до начала передачи данных письма, попытка отправки не засчитывается");
                } else {
                    log.Write(Runlog::Error,
                              "Произошла ошибка в ходе передачи данных письма, засчитывается как неудачная попытка");
                    CountFailure(service, m);
                }
                throw;
            }
            SmtpQuit(service, false);
            SmtpDisconnect(service);
            log.Write(Runlog::Progress, "Отправка успешно завершена");
            service.WriteEvent(kEventSendDone, "SENDDONE", string("Успешно выполнена отправка файла ") + m.path);
            if (m.attemptLogPath.HasText() && FileExists(m.attemptLogPath))
                CheckSystemCall(DeleteFileA(m.attemptLogPath.c_str()), kSource, __LINE__);
            m.Disposition = Delivered;
            *delivered = true;
        } catch (...) {
            log.Write(Runlog::Progress, "Ошибка во время отправки письма, закрываем сеанс SMTP");
            SmtpQuit(service, true);
            throw;
        }
    } catch (...) {
        log.Write(Runlog::Progress, "Ошибка во время отправки письма, разрываем соединение");
        SmtpDisconnect(service);
        throw;
    }
}
}  // namespace

bool SendMessage(MailService& service, OutboxMessage& m) {
    Runlog& log = service.Log();
    bool delivered = false;
    m.Disposition = Skipped;
    try {
        service.WriteEvent(kEventSendStart, "SENDSTART", string("Отправляется ") + m.path);
        log.WriteText(Runlog::Progress, string("Отправляем ") + m.path);
        m.Disposition = AbortPass;
        if (SmtpConnect(service)) Converse(service, m, &delivered);
    } catch (const QuilletException& e) {
        log.WriteText(Runlog::Error, string("Сервис Postvane (отправка письма): необработанное исключение: ") + e.Reason());
    } catch (...) {
        log.Write(Runlog::Error, "Сервис Postvane (отправка письма): необработанное исключение неизвестного типа");
    }
    if (!delivered) service.WriteEvent(kEventSendFail, "SENDFAIL", string("Не получилось отправить файл ") + m.path);
    return delivered;
}

bool OutboxPass(MailService& service, DWORD* next) {
    if (next) *next = INFINITE;
    string outbox = service.outboxDirectory;
    if (outbox.IsEmpty()) return false;
    bool keepGoing = true;
    // The dial-up line, once obtained, is held until the pass returns (also by an exception).
    rptr<PKXDK::Internet::DialupClient::Networking> dialupHold;
    bool holding = false;
    while (keepGoing) {
        unsigned pending = 0;
        for (const keystring& name : ListOutbox(outbox)) {
            if (!keepGoing) break;
            OutboxMessage m = ReadMessage(service, MakePathSpec(outbox) + name);
            if (m.Disposition == Ready) {
                if (ConfigNumber("UseRemoteAccess") != 0 && !holding) {
                    dialupHold = service.dialup.Connect(false);
                    holding = true;
                }
                SendMessage(service, m);
            }
            switch (m.Disposition) {
            case Delivered:
                DisposeMessage(service, m.path, true);
                DeleteMessage(service, m);
                break;
            case Rejected:
                // A copy cut short by a stop request would lose an undeliverable message for
                // good: it stays, and the next run rejects it again and keeps its copy.
                if (!DisposeMessage(service, m.path, false) && service.CheckStop(true)) {
                    keepGoing = false;
                    break;
                }
                DeleteMessage(service, m);
                break;
            case Deferred:
                if (next && m.WaitMs < *next) *next = m.WaitMs;
                break;
            case AbortPass:
                keepGoing = false;
                break;
            default:
                ++pending;
                break;
            }
        }
        if (!keepGoing || pending == 0) break;
        // Some file is still being written: look again in a second.
        if (service.stopEvent.Wait(1000)) keepGoing = false;
    }
    return keepGoing;
}

}  // namespace Postvane

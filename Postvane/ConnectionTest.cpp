#include "ConnectionTest.h"
#include "Globals.h"
#include "Runlog.h"
#include "ServiceLog.h"
#include "Setting.h"
#include "SmtpDialogue.h"
#include "SmtpSession.h"
#include "SmtpTransport.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const size_t kFormatSize = 256;
const char kStopText[] = "Обнаружен запрос на завершение работы сервиса";
const unsigned kAuthRefused = 535;

// The Winsock errors of a connect or a name lookup, in the operator's words; null for others.
const char* WinsockReason(unsigned code) {
    switch (code) {
    case WSAECONNREFUSED: return "сервер отказал в соединении (на этом порту никто не принимает)";
    case WSAETIMEDOUT: return "сервер не ответил за отведённое время";
    case WSAEHOSTUNREACH: return "узел недоступен";
    case WSAENETUNREACH: return "сеть недоступна";
    case WSAENETDOWN: return "сеть не работает";
    case WSAEADDRNOTAVAIL: return "адрес недоступен";
    case WSAHOST_NOT_FOUND: return "такого имени нет";
    case WSATRY_AGAIN: return "служба имён не ответила";
    case WSANO_RECOVERY: return "служба имён не может ответить";
    case WSANO_DATA: return "у имени нет адреса";
    case WSATYPE_NOT_FOUND: return "неизвестное имя службы в Port";
    default: return nullptr;
    }
}

void Fail(ConnectionTestOutcome& out, TestStage stage, DWORD error, const string& sentence) {
    out.failed = stage;
    out.error = error;
    out.sentence = sentence;
}

// Where an exception leaves the test: by its kind, then by how far the connection got.
void Classify(ConnectionTestOutcome& out, const QuilletException& e, TestStage stage, SmtpSession& session,
              StopTest& stop) {
    const SmtpSettings& settings = session.settings;
    const TlsOutcome& tls = session.connection.Tls();
    if (stop.CheckStop(true)) return Fail(out, TestStage::Cancelled, ERROR_CANCELLED, string("Проверка прервана"));
    if (dynamic_cast<const BadSetting*>(&e)) return Fail(out, TestStage::Settings, ERROR_BAD_CONFIGURATION, e.Reason());
    if (dynamic_cast<const OAuthFailure*>(&e)) return Fail(out, TestStage::Token, ERROR_LOGON_FAILURE, e.Reason());
    if (const ConnectFailure* failure = dynamic_cast<const ConnectFailure*>(&e)) {
        const char* why = WinsockReason(failure->Code());
        string code = FormatBuffer(kFormatSize, "ошибка Winsock %u", failure->Code());
        string reason = why ? string(why) + " (" + code + ")" : code;
        if (failure->Unresolved())
            return Fail(out, TestStage::Connect, ERROR_HOST_UNREACHABLE,
                        "Не удаётся найти адрес сервера " + settings.policy.host + ": " + reason);
        return Fail(out, TestStage::Connect, ERROR_HOST_UNREACHABLE,
                    "Не удаётся соединиться с сервером " + settings.server + ":" + settings.port + ": " + reason);
    }
    if (tls.attempted && tls.secure && tls.checked && !tls.certificate.passed)
        return Fail(out, TestStage::Tls, ERROR_CONNECTION_ABORTED,
                    "Сертификат сервера отвергнут: " + tls.certificate.reason + " (сертификат: " +
                        tls.certificate.subject + "; издатель: " + tls.certificate.issuer + ")");
    if (tls.attempted && !tls.secure)
        return Fail(out, TestStage::Tls, ERROR_CONNECTION_ABORTED,
                    "Не удалось установить защищённое соединение (TLS): " + e.Reason());
    if (stage == TestStage::SignIn) {
        // A token sign-in that the settings themselves rule out.
        if (settings.auth != SmtpAuth::Password && (!session.connection.IsSecure() || settings.login.IsEmpty()))
            return Fail(out, TestStage::Settings, ERROR_BAD_CONFIGURATION, e.Reason());
        return Fail(out, TestStage::SignIn, ERROR_LOGON_FAILURE, "Вход не выполнен: " + e.Reason());
    }
    if (stage == TestStage::Connect)
        return Fail(out, TestStage::Connect, ERROR_HOST_UNREACHABLE,
                    "Не удаётся соединиться с сервером " + settings.server + ": " + e.Reason());
    Fail(out, TestStage::Dialogue, ERROR_CONNECTION_ABORTED, "Сервер прервал диалог: " + e.Reason());
}

}  // namespace

bool EventStop::CheckStop(bool quiet) {
    bool stop = event_ && WaitForSingleObject(event_, 0) == WAIT_OBJECT_0;
    if (stop && !quiet) throw QLAppException(kStopText);
    return stop;
}

ConnectionTestOutcome TestConnection(HKEY settingsKey, StopTest& stop) {
    ConnectionTestOutcome out;
    const DWORD noTrace = 0;
    Runlog quiet;  // no file: the test's diagnostics are not the service's
    SmtpConnection connection(stop, noTrace, quiet);
    SmtpSession session(connection);
    session.ReadSettingsFrom(settingsKey);
    string server = (*OpenSmtpKey(settingsKey, KEY_READ))["Server"];
    TestStage stage = TestStage::Connect;
    try {
        if (!SmtpConnect(session)) {
            Fail(out, TestStage::Settings, ERROR_BAD_CONFIGURATION, string("Почтовый сервер не задан (Server)"));
        } else {
            stage = TestStage::Dialogue;
            SmtpGreetAndSecure(session);
            const SmtpSettings& settings = session.settings;
            bool signIn = settings.auth != SmtpAuth::Password || settings.login.HasText();
            SignInOutcome signedIn;
            if (signIn) {
                stage = TestStage::SignIn;
                signedIn = SmtpSignIn(session);
                stage = TestStage::Dialogue;
            }
            if (signIn && !signedIn.accepted) {
                if (!signedIn.offered && signedIn.code != kAuthRefused)
                    Fail(out, TestStage::SignIn, ERROR_LOGON_FAILURE,
                         "Сервер не предлагает подходящего способа входа (AUTH PLAIN или LOGIN), ответ сервера: " +
                             signedIn.reply);
                else
                    Fail(out, TestStage::SignIn, ERROR_LOGON_FAILURE,
                         "Сервер отклонил вход (имя \"" + settings.login + "\"), ответ сервера: " + signedIn.reply);
                session.End();  // QUIT, whatever it answers
            } else {
                SmtpQuit(session, false);
                const TlsOutcome& tls = connection.Tls();
                string security = tls.secure ? tls.protocol + (tls.checked ? "" : " (сертификат не проверялся)")
                                             : string("без шифрования");
                out.sentence = "Соединение установлено: " + security + ", " +
                               (signIn ? "авторизация пройдена" : "вход не выполнялся (имя входа не задано)");
            }
        }
    } catch (const QuilletException& e) {
        Classify(out, e, stage, session, stop);
    }
    // Whatever came from the server or a file, one line with its control characters shown.
    out.sentence = LogSafe(out.sentence);
    out.policy = session.settings.policy;
    out.tls = connection.Tls();
    out.auth = session.settings.auth;
    if (out.auth != SmtpAuth::Password) out.token = session.tokens.Describe();
    SmtpDisconnect(session);
    ServiceLog().WriteText(Runlog::Progress, "Проверка соединения с " + LogSafe(server) + ": " + out.sentence);
    return out;
}

}  // namespace Postvane

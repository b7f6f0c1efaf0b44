#include "DialupClient.h"
#include <mutex>
#include "qlbase.h"
#include "qlframe.h"
#include "MTSys.h"

namespace PKXDK {
namespace Internet {

const char kDialupKeyPath[] = "Software\\Quillet\\Pennark\\Kiosk\\Dialup";

namespace {

// The source name that errors raised by the client carry.
const char kSource[] = "Internet/DialupClient";
// Size of the buffer in which the connect failure text is formatted.
const size_t kTextSize = 256;

bool g_processEnding = false;

// The one binding of the dial-up service module in this process. The module name is read
// when the binding is made; the library itself is loaded at the first call into it, so that
// no library is loaded while the loader runs Postvane's own initialisation.
class ServiceModule {
public:
    typedef int (*EnabledFn)();
    typedef DWORD (WINAPI* ConnectFn)(const char*);
    typedef BOOL (WINAPI* DisconnectFn)(DWORD);

    static ServiceModule& Instance() {
        static ServiceModule binding;
        return binding;
    }

    // Non-zero when a line may be made. Without a "DialupServiceEnabled" export the
    // Dialup key's "Disabled" number decides: set, the answer is 0 with last error
    // ERROR_SERVICE_DISABLED; clear, 1 with last error 0 (and a missing module then fails
    // at the connect step with ERROR_NOT_SUPPORTED).
    int Enabled() {
        Load();
        if (enabled_) return enabled_();
        int disabled = 0;
        try {
            RegKey key(HKEY_LOCAL_MACHINE, kDialupKeyPath, true, RegKey::AllAccess);
            disabled = key["Disabled"].Number();
        } catch (const QuilletException&) {
            disabled = 0;  // an unreadable key reads as absent values
        }
        SetLastError(disabled ? ERROR_SERVICE_DISABLED : 0);
        return disabled ? 0 : 1;
    }

    DWORD Connect(const char* name) {
        Load();
        if (!connect_) { SetLastError(ERROR_NOT_SUPPORTED); return 0; }
        return connect_(name);
    }

    BOOL Disconnect(DWORD handle) {
        Load();
        if (!disconnect_) { SetLastError(ERROR_NOT_SUPPORTED); return FALSE; }
        return disconnect_(handle);
    }

private:
    ServiceModule() : module_(nullptr), enabled_(nullptr), connect_(nullptr), disconnect_(nullptr) {
        // The key is opened with create and all access. A registry that refuses (no right to
        // create the key) means no module rather than a library that cannot be loaded.
        try {
            RegKey key(HKEY_LOCAL_MACHINE, kDialupKeyPath, true, RegKey::AllAccess);
            name_ = key["ServiceModule"].Text();
        } catch (const QuilletException&) {
            name_ = string();
        }
    }

    ~ServiceModule() {
        // While the process ends, the loader tears modules down itself.
        if (module_ && !g_processEnding) FreeLibrary(module_);
    }

    void Load() {
        std::call_once(loaded_, [this] {
            if (name_.IsEmpty()) return;
            DWORD error = GetLastError();
            module_ = LoadLibraryA(name_.c_str());
            if (module_) {
                enabled_ = reinterpret_cast<EnabledFn>(GetProcAddress(module_, "DialupServiceEnabled"));
                connect_ = reinterpret_cast<ConnectFn>(GetProcAddress(module_, "DialupServiceConnect"));
                disconnect_ = reinterpret_cast<DisconnectFn>(GetProcAddress(module_, "DialupServiceDisconnect"));
            }
            SetLastError(error);
        });
    }

    string name_;
    std::once_flag loaded_;
    HMODULE module_;  // freed at unload
    EnabledFn enabled_;
    ConnectFn connect_;
    DisconnectFn disconnect_;
};

string ErrorSuffix(DWORD code) {
    return FormatBuffer(kTextSize, " (код ошибки Windows: %i (0x%08X))", int(code), unsigned(code));
}

}  // namespace

void NoteProcessEnding() { g_processEnding = true; }

DialupClient::DialupFailure::DialupFailure(const string& text) : Failure(text + ErrorSuffix(GetLastError())) {}

DialupClient::Networking::~Networking() {
    try {
        client_->Release(quiet_);
    } catch (const QuilletException& e) {
        client_->Log(Runlog::Error, string("Ошибка при закрытии подключения удалённого доступа: ") + e.Reason());
    } catch (...) {
        client_->Log(Runlog::Error, string("Ошибка неизвестного типа при закрытии подключения удалённого доступа"));
    }
}

DialupClient::DialupClient(Runlog* log, const char* connectionName, const char* callerName)
    : log_(log),
      name_(connectionName ? connectionName : ""),
      prefix_(callerName && *callerName ? string(callerName) + ": " : string("")),
      handle_(0),
      users_(0) {
    InitializeCriticalSection(&section_);
    ServiceModule::Instance();
}

DialupClient::~DialupClient() {
    try {
        Disconnect(true);
    } catch (const QuilletException& e) {
        Log(Runlog::Detail, FormatBuffer(kTextSize * 4, "Необработанная ошибка при деструкции объекта DialupClient: %s",
                                         e.Reason().c_str()));
    } catch (...) {
        Log(Runlog::Detail, string("Необработанная ошибка неизвестного типа при деструкции объекта DialupClient"));
    }
    DeleteCriticalSection(&section_);
}

void DialupClient::Log(Runlog::CharFormat kind, const string& text) const {
    if (log_) log_->WriteText(kind, prefix_ + text);
}

rptr<DialupClient::Networking> DialupClient::Connect(bool quiet) {
    SectionLock lock(section_);
    if (name_.IsEmpty()) return rptr<Networking>();
    if (handle_ == 0) {
        ServiceModule& module = ServiceModule::Instance();
        if (!module.Enabled()) {
            Log(Runlog::Survived, string("Подключение удалённого доступа не создаётся"));
        } else {
            Log(Runlog::Survived, FormatBuffer(kTextSize, "Создаётся подключение удалённого доступа \"%s\".", name_.c_str()));
            handle_ = module.Connect(name_.c_str());
            if (handle_ == 0) {
                DWORD code = GetLastError();
                if (log_ || !quiet) {
                    string text = FormatBuffer(kTextSize,
                                               "Ошибка подключения удалённого доступа (код ошибки Windows: %u (0x%08x))",
                                               unsigned(code), unsigned(code));
                    Log(Runlog::Error, text);
                    if (!quiet) {
                        // Logging may have changed the last error; the failure carries the module's.
                        SetLastError(code);
                        throw DialupFailure(text);
                    }
                }
                return rptr<Networking>();
            }
            Log(Runlog::Progress, FormatBuffer(kTextSize, "Выполнено подключение удалённого доступа \"%s\".", name_.c_str()));
        }
    }
    ++users_;
    return rptr<Networking>(new Networking(this, quiet));
}

bool DialupClient::Release(bool quiet) {
    SectionLock lock(section_);
    if (users_ == 0) return false;
    if (--users_ > 0) return true;
    return Disconnect(quiet);
}

bool DialupClient::Disconnect(bool quiet) {
    SectionLock lock(section_);
    users_ = 0;
    if (handle_ == 0) return true;
    Log(Runlog::Survived, string("Закрывается подключение удалённого доступа."));
    BOOL closed = ServiceModule::Instance().Disconnect(handle_);
    if (!closed) {
        if (quiet) return false;
        CheckSystemCall(closed, kSource, __LINE__);
    }
    handle_ = 0;
    Log(Runlog::Progress, string("Закрыто подключение удалённого доступа."));
    return true;
}

DWORD DialupClient::ConnectionHandle() const {
    SectionLock lock(section_);
    return handle_;
}

unsigned DialupClient::Users() const {
    SectionLock lock(section_);
    return users_;
}

}  // namespace Internet
}  // namespace PKXDK

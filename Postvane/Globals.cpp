#include "Globals.h"
#include <mutex>
#include "MailService.h"
#include "Setting.h"

namespace Postvane {

const char kMailKeyPath[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail";
const char kSmtpKeyPath[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail\\SMTP";
const char kVersion[] = "1.1.0.2";

namespace {

HMODULE g_module = nullptr;

std::shared_ptr<RegKey> OpenConfigKey() {
    return std::make_shared<RegKey>(HKEY_LOCAL_MACHINE, kMailKeyPath, false, RegKey::ReadAccess);
}

// The read-only Mail key, reopened at use while it is missing.
struct ConfigSlot {
    ConfigSlot() : key(OpenConfigKey()) {}
    std::mutex lock;
    std::shared_ptr<RegKey> key;
};

struct ProcessObjects {
    ProcessObjects() : service(&serviceLog) {}
    ~ProcessObjects() {
        // The dial-up client logs to the service log, which goes before the service object:
        // a line still up is closed here, while the log exists.
        try {
            service.dialup.Disconnect(true);
        } catch (...) {
        }
    }
    // Construction order is declaration order; the service object only keeps the log's
    // address while the log is being built.
    MailService service;
    Runlog serviceLog;
    ConfigSlot config;
};

ProcessObjects& Objects() {
    static ProcessObjects objects;
    return objects;
}

}  // namespace

void CreateProcessObjects() { Objects(); }

MailService& Service() { return Objects().service; }

Runlog& ServiceLog() { return Objects().serviceLog; }

std::shared_ptr<RegKey> ConfigKey() {
    ConfigSlot& slot = Objects().config;
    std::lock_guard<std::mutex> guard(slot.lock);
    if (!slot.key->IsOpen()) slot.key = OpenConfigKey();
    return slot.key;
}

string ConfigText(const char* name) { return (*ConfigKey())[name].Text(); }
int ConfigNumber(const char* name) { return (*ConfigKey())[name].Number(); }

bool MailDisabled() {
    StoredNumber stored = ReadStoredNumber(*ConfigKey(), "Disabled");
    return stored.present && (!stored.number || stored.huge || stored.value != 0);
}

HMODULE ModuleHandle() { return g_module; }
void SetModuleHandle(HMODULE module) { g_module = module; }

}  // namespace Postvane

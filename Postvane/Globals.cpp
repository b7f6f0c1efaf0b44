#include "Globals.h"
#include <mutex>

namespace Postvane {

const char kMailKeyPath[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail";
const char kSmtpKeyPath[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail\\SMTP";
const char kVersion[] = "1.1.0.2";

namespace {
HMODULE g_module = nullptr;

struct ConfigSlot {
    std::mutex lock;
    std::shared_ptr<RegKey> key;
};

ConfigSlot& Config() {
    static ConfigSlot slot;
    return slot;
}
}  // namespace

Runlog& ServiceLog() {
    static Runlog log;
    return log;
}

std::shared_ptr<RegKey> ConfigKey() {
    ConfigSlot& slot = Config();
    std::lock_guard<std::mutex> guard(slot.lock);
    if (!slot.key || !slot.key->IsOpen())
        slot.key = std::make_shared<RegKey>(HKEY_LOCAL_MACHINE, kMailKeyPath, false, RegKey::ReadAccess);
    return slot.key;
}

string ConfigText(const char* name) { return (*ConfigKey())[name].Text(); }
int ConfigNumber(const char* name) { return (*ConfigKey())[name].Number(); }

HMODULE ModuleHandle() { return g_module; }
void SetModuleHandle(HMODULE module) { g_module = module; }

}  // namespace Postvane

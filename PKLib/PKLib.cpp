#include "PKLib.h"
#include <memory>
#include "MTSys.h"

namespace {
const char kProductKey[] = "Software\\Quillet\\Pennark";
const char kRootPathValue[] = "Root Path";

// The process-wide read-only product key, opened at first use and closed when the module
// is unloaded. While the key does not exist, every use tries to open it again.
class ProductKey {
public:
    static ProductKey& Instance() {
        static ProductKey key;
        return key;
    }
    string Read(const char* name) {
        SectionLock lock(section_);
        if (!key_ || !key_->IsOpen())
            key_.reset(new RegKey(HKEY_LOCAL_MACHINE, kProductKey, false, RegKey::ReadAccess));
        return (*key_)[name];
    }
private:
    ProductKey() { InitializeCriticalSection(&section_); }
    ~ProductKey() {
        key_.reset();
        DeleteCriticalSection(&section_);
    }
    CRITICAL_SECTION section_;
    std::unique_ptr<RegKey> key_;  // closed before the section is deleted
};
}  // namespace

string GetRootPath() { return MakePathSpec(ExpEnv(ProductKey::Instance().Read(kRootPathValue))); }

string FindProgramFile(HMODULE module, const string& fileName, const string& topic, const string& window) {
    string result = ExpEnv(fileName);
    // An empty name would "find" the module's or the root directory itself.
    if (fileName.HasText() && !IsAbsolutePath(result) && !FileExists(result)) {
        // Beside the module and under the root path the name is used as given.
        string besideModule = MakePathSpec(GetParentPath(GetModuleFileNameA(module))) + fileName;
        string underRoot;
        if (FileExists(besideModule)) result = besideModule;
        else if (FileExists(underRoot = GetRootPath() + fileName)) result = underRoot;
        else result = fileName;
    }
    if (result.IsNull()) result = string("");
    if (topic.HasText()) result = result + "::" + topic;
    if (window.HasText()) result = result + ">" + window;
    return result;
}

// postvane config NAME [VALUE] [--number] [--delete]: reads or sets one value of the Mail key.
// NAME may lead through subkeys of the Mail key: "SMTP\Server", "MailClass\urgent\MaxAttempt".
#include <cstdio>
#include <cstdlib>
#include "Tool.h"
#include "Globals.h"
#include "core.h"
#include "qlbase.h"

namespace {

const char kUsage[] =
    "NAME [VALUE] [--number] [--delete] : shows a Mail key value; with VALUE stores it (a text, "
    "or with --number a 32-bit number); --delete removes it. NAME may be SUBKEY\\NAME";

int Show(const std::string& keyPath, const std::string& name) {
    RegKey key(HKEY_LOCAL_MACHINE, keyPath.c_str(), false, RegKey::ReadAccess);
    DWORD type = 0, size = 0;
    if (!key.IsOpen() || RegQueryValueExA(key.Handle(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        std::printf("%s: absent\n", name.c_str());
        return 1;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) std::printf("%s = \"%s\"\n", name.c_str(), key[name.c_str()].Text().c_str());
    else if (type == REG_DWORD) std::printf("%s = %d (number)\n", name.c_str(), key[name.c_str()].Number());
    else std::printf("%s: %lu bytes of registry type %lu\n", name.c_str(), size, type);
    return 0;
}

int Config(const tool::Args& args) {
    bool number = tool::HasFlag(args, "--number");
    bool remove = tool::HasFlag(args, "--delete");
    tool::Args words;
    for (const std::string& a : args)
        if (a != "--number" && a != "--delete") words.push_back(a);
    if (words.empty() || words.size() > 2 || (remove && words.size() != 1) || (number && words.size() != 2)) {
        std::fprintf(stderr, "usage: postvane config %s\n", kUsage);
        return 2;
    }
    std::string keyPath = Postvane::kMailKeyPath;
    std::string name = words[0];
    size_t sep = name.find_last_of('\\');
    if (sep != std::string::npos) {
        keyPath += "\\" + name.substr(0, sep);
        name = name.substr(sep + 1);
    }
    if (words.size() == 1 && !remove) return Show(keyPath, name);

    RegKey key(HKEY_LOCAL_MACHINE, keyPath.c_str(), true, RegKey::AllAccess);
    if (remove) {
        LONG r = RegDeleteValueA(key.Handle(), name.c_str());
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) {
            std::fprintf(stderr, "postvane config: cannot delete %s, error %ld\n", name.c_str(), r);
            return 1;
        }
        std::printf("%s: deleted\n", name.c_str());
        return 0;
    }
    if (number) {
        char* end = nullptr;
        long long v = std::strtoll(words[1].c_str(), &end, 0);
        if (words[1].empty() || *end || v < -2147483648LL || v > 4294967295LL) {
            std::fprintf(stderr, "postvane config: not a 32-bit number: %s\n", words[1].c_str());
            return 2;
        }
        key[name.c_str()] = int(static_cast<unsigned long>(v));
    } else {
        key[name.c_str()] = words[1].c_str();
    }
    return Show(keyPath, name);
}

tool::Command command("config", kUsage, Config);

}  // namespace

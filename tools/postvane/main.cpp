// postvane: try and inspect the delivery service without the host.
//
// PENNARK_REGISTRY_ROOT, when set, names a key under HKEY_CURRENT_USER that stands in for
// HKEY_LOCAL_MACHINE in this process (tests and demonstrations keep the machine untouched).
#include <cstdio>
#include <map>
#include <stdexcept>
#include "RegistryRoot.h"
#include "Tool.h"

namespace tool {

namespace {
struct Entry {
    const char* usage;
    int (*run)(const Args&);
};
std::map<std::string, Entry>& Commands() {
    static std::map<std::string, Entry> commands;
    return commands;
}

int Usage() {
    std::fprintf(stderr, "usage: postvane COMMAND [ARGS]\n");
    for (const auto& c : Commands()) std::fprintf(stderr, "  %s %s\n", c.first.c_str(), c.second.usage);
    return 2;
}
}  // namespace

Command::Command(const char* name, const char* usage, int (*run)(const Args&)) { Commands()[name] = Entry{usage, run}; }

std::string BesideTool(const char* name) {
    char path[MAX_PATH];
    std::string program(path, GetModuleFileNameA(nullptr, path, sizeof path));
    return program.substr(0, program.find_last_of("\\/") + 1) + name;
}

std::vector<std::string> Options(const Args& args, const char* name) {
    std::vector<std::string> values;
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) values.push_back(args[++i]);
    return values;
}

std::string Option(const Args& args, const char* name, const std::string& fallback) {
    std::vector<std::string> v = Options(args, name);
    return v.empty() ? fallback : v.back();
}

bool HasFlag(const Args& args, const char* name) {
    for (const std::string& a : args)
        if (a == name) return true;
    return false;
}

}  // namespace tool

int main(int argc, char** argv) {
    using namespace tool;
    using tools::RedirectMachineRegistry;
    if (argc < 2) return Usage();
    auto it = Commands().find(argv[1]);
    if (it == Commands().end()) return Usage();
    try {
        RedirectMachineRegistry();
        return it->second.run(Args(argv + 2, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "postvane: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "postvane: the command failed with an unexpected exception\n");
    }
    return 1;
}

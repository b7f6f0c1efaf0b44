// kiosk-host: a kiosk host for the e-mail add-on's plugins. It installs a plugin, creates it
// through COM from its registration, initialises it late-bound, raises terminal and session
// events from its command line or a scenario, reports what came back, and at the end
// releases the extenders, which stops the delivery service. Its main window is the host's:
// the plugin asks it to close when the service dies.
//
// PENNARK_REGISTRY_ROOT, when set, names a key under HKEY_CURRENT_USER that stands in for
// HKEY_LOCAL_MACHINE (the COM registration itself is the machine's).
#include <windows.h>
#include <shellapi.h>
#include <cstdio>
#include <stdexcept>
#include "CoString.h"
#include "Host.h"
#include "Output.h"
#include "RegistryRoot.h"
#include "Steps.h"

namespace kiosk {
extern bool g_answerBoxes;
}

namespace {

const int kExitFailedStep = 1;
const int kExitUsage = 2;
const int kExitNoPlugin = 3;

std::string BesideProgram(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

int Run(const kiosk::Options& options, const std::vector<kiosk::Step>& steps) {
    using namespace kiosk;
    KioskHost host(options.direct);
    if (!host.CreateMainWindow()) return kExitNoPlugin;
    std::string plugin = options.plugin.empty() ? BesideProgram("Email.dll") : CoString::Narrow(options.plugin.c_str()).str();
    if (!host.LoadPlugin(plugin, "Email")) {
        host.Shutdown();
        return kExitNoPlugin;
    }
    int exitCode = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (!host.MainWindowOpen()) {
            Report("the main window is closed: " + std::to_string(steps.size() - i) + " step(s) not run");
            break;
        }
        if (!FindCommand(steps[i].command)->run(host, steps[i])) exitCode = kExitFailedStep;
    }
    if (options.stay && host.MainWindowOpen()) {
        Report("running until the main window is closed");
        host.Pump(INFINITE, [&] { return !host.MainWindowOpen(); });
    }
    host.Shutdown();
    return exitCode;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> words(argv + 1, argv + argc);
    LocalFree(argv);

    kiosk::Options options;
    std::vector<kiosk::Step> steps;
    std::string error;
    if (!kiosk::ParseCommandLine(words, &options, &steps, &error)) {
        std::fprintf(stderr, "kiosk-host: %s\n%s", error.c_str(), kiosk::Usage().c_str());
        return kExitUsage;
    }
    kiosk::g_answerBoxes = options.answerBoxes;
    try {
        std::string root = tools::RedirectMachineRegistry();
        if (!root.empty()) kiosk::Report("HKEY_LOCAL_MACHINE is HKEY_CURRENT_USER\\" + root);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kiosk-host: %s\n", e.what());
        return kExitUsage;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int exitCode = Run(options, steps);
    CoUninitialize();
    kiosk::Report("exit code " + std::to_string(exitCode));
    return exitCode;
}

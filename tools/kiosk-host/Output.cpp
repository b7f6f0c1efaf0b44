#include "Output.h"
#include <cstdio>
#include <mutex>
#include "CoString.h"

namespace kiosk {

namespace {
const char* g_name = "kiosk-host";

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}
}  // namespace

void ReportRaw(const std::string& line) {
    std::lock_guard<std::mutex> guard(Lock());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void SetReportName(const char* name) { g_name = name; }
void Report(const std::string& line) { ReportRaw(std::string(g_name) + ": " + line); }

std::string Quoted(const std::wstring& text) { return "\"" + CoString::Narrow(text.c_str()).str() + "\""; }

}  // namespace kiosk

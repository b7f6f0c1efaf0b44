#include "Output.h"
#include <cstdio>
#include <mutex>
#include "CoString.h"

namespace kiosk {

namespace {
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

void Report(const std::string& line) { ReportRaw("kiosk-host: " + line); }

std::string Quoted(const std::wstring& text) { return "\"" + CoString::Narrow(text.c_str()).str() + "\""; }

}  // namespace kiosk

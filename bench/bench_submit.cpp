// Submission throughput and memory: prints submissions per second and the time of one call
// for a 2 KiB text message and for a message with a 1 MiB attachment, with and without the
// flush to disk, and the peak memory that one large submission adds.
//
// The registry is redirected to a private key and the outbox is a temporary directory; both
// are removed at the end.
#define PSAPI_VERSION 2  // GetProcessMemoryInfo from kernel32
#include "BenchSupport.h"
#include <windows.h>
#include <psapi.h>
#include <cstdio>
#include <string>
#include "Submit.h"
#include "qlframe.h"

using namespace bench;

namespace {

using testing_support::kMailKey;
const double kRunSeconds = 1.0;  // each measurement runs about this long...
const int kMinCalls = 5;         // ...and makes at least this many calls



PROCESS_MEMORY_COUNTERS Memory() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return pmc;
}

void Measure(const char* what, const SmtpMail& mail, bool flush, const std::string& outbox) {
    int calls = 0;
    double start = bench::Now(), elapsed = 0;
    while (calls < kMinCalls || elapsed < kRunSeconds) {
        if (!Postvane::SubmitMail(&mail, flush)) {
            std::printf("%s: refused, last error %lu\n", what, GetLastError());
            return;
        }
        ++calls;
        elapsed = bench::Now() - start;
    }
    std::printf("%-28s %-8s %9.1f submissions/s %9.3f ms per call (%d calls)\n", what, flush ? "flush" : "no flush",
                calls / elapsed, elapsed * 1000 / calls, calls);
    RemoveTree(outbox);
}

}  // namespace

int main() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string root = std::string(temp) + "pennark-bench-" + std::to_string(GetCurrentProcessId());
    const std::string outbox = root + "\\Outbox";
    PrivateRegistry registry;
    if (!registry.Isolated()) {
        std::fprintf(stderr, "cannot isolate the registry\n");
        return 1;
    }
    int result = 0;
    try {
        RegKey mailKey(HKEY_LOCAL_MACHINE, kMailKey, true, RegKey::AllAccess);
        mailKey["OutboxDir"] = outbox.c_str();

        std::string text;
        for (int i = 0; text.size() < 2048; ++i) text += "Line " + std::to_string(i) + " of the message text.\r\n";
        text.resize(2048);
        SmtpMail small = {};
        small.Size = sizeof small;
        small.To = "operator@pennark.example";
        small.From = "Kiosk 7";
        small.Subject = "Daily report";
        small.Text = text.c_str();

        std::string bytes(1 << 20, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 2654435761u) >> 13);
        SmtpMailAttachment attachment = {};
        attachment.Size = sizeof attachment;
        attachment.Data = bytes.data();
        attachment.DataSize = DWORD(bytes.size());
        attachment.ContentType = "application/octet-stream";
        attachment.FileName = "journal.bin";
        SmtpMail large = small;
        large.Attachments = &attachment;
        large.AttachmentCount = 1;

        // Peak memory first, while the process has not yet needed more for anything else;
        // a small submission beforehand loads what every submission needs.
        Postvane::SubmitMail(&small, false);
        PROCESS_MEMORY_COUNTERS before = Memory();
        Postvane::SubmitMail(&large, false);
        PROCESS_MEMORY_COUNTERS after = Memory();
        RemoveTree(outbox);
        // Growth of the peak over what the process held just before the call. Wine reports the
        // current commit as the peak commit, so the second figure reads 0 there.
        if (after.PeakWorkingSetSize > before.PeakWorkingSetSize)
            std::printf("peak memory of one submission with a 1 MiB attachment: working set +%.2f MiB",
                        double(after.PeakWorkingSetSize - before.WorkingSetSize) / (1 << 20));
        else
            std::printf("peak memory of one submission with a 1 MiB attachment: working set below an earlier peak");
        std::printf(", committed +%.2f MiB (PeakPagefileUsage)\n",
                    double(after.PeakPagefileUsage - before.PeakPagefileUsage) / (1 << 20));

        Measure("2 KiB text", small, false, outbox);
        Measure("2 KiB text", small, true, outbox);
        Measure("1 MiB attachment", large, false, outbox);
        Measure("1 MiB attachment", large, true, outbox);
    } catch (const QuilletException& e) {
        std::fprintf(stderr, "bench_submit: %s\n", e.Reason().c_str());
        result = 1;
    }
    RemoveTree(root);
    return result;
}

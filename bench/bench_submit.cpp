// Submission throughput and memory: prints submissions per second and the time of one call
// for a 2 KiB text message and for a message with a 1 MiB attachment, with and without the
// flush to disk, and the peak heap memory that one submission with a 1 MiB and with a
// 100 MiB attachment takes beyond the caller's own buffers, against the size of its file.
//
// The registry is redirected to a private key and the outbox is a temporary directory; both
// are removed at the end.
#include "BenchSupport.h"
#include <windows.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include "Submit.h"
#include "qlframe.h"

using namespace bench;

// Every heap block of the program is counted: the bytes held now and the most held since the
// last reset. Each block carries its size in front of it.
namespace {
std::atomic<size_t> g_held{0};
std::atomic<size_t> g_peak{0};
const size_t kHeader = 16;  // keeps the block aligned for any type

void* Allocate(size_t size) {
    char* block = static_cast<char*>(std::malloc(size + kHeader));
    if (!block) throw std::bad_alloc();
    *reinterpret_cast<size_t*>(block) = size;
    size_t held = g_held += size;
    for (size_t peak = g_peak; held > peak && !g_peak.compare_exchange_weak(peak, held);) {
    }
    return block + kHeader;
}

void Release(void* p) {
    if (!p) return;
    char* block = static_cast<char*>(p) - kHeader;
    g_held -= *reinterpret_cast<size_t*>(block);
    std::free(block);
}
}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }

namespace {

using testing_support::kMailKey;
const double kRunSeconds = 1.0;  // each measurement runs about this long...
const int kMinCalls = 5;         // ...and makes at least this many calls



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

        // Peak heap of one submission beyond what the process held just before it (the
        // caller's buffers among it), against the size of the message file written.
        for (size_t mib : {size_t(1), size_t(100)}) {
            std::string data(mib << 20, '\0');
            for (size_t i = 0; i < data.size(); ++i) data[i] = char((i * 2654435761u) >> 13);
            SmtpMailAttachment a = attachment;
            a.Data = data.data();
            a.DataSize = DWORD(data.size());
            SmtpMail one = small;
            one.Attachments = &a;
            one.AttachmentCount = 1;
            size_t before = g_held;
            g_peak = before;
            if (!Postvane::SubmitMail(&one, false)) {
                std::printf("%zu MiB attachment: refused, last error %lu\n", mib, GetLastError());
                result = 1;
                continue;
            }
            double extra = double(g_peak - before);
            double file = 0;
            for (FileFinder f(string((outbox + "\\*.eml").c_str())); f.Found(); f.Next()) file += double(f.Size());
            RemoveTree(outbox);
            std::printf("peak memory of one submission with a %zu MiB attachment: +%.2f MiB, message file %.2f MiB, "
                        "%.2f times the file\n",
                        mib, extra / (1 << 20), file / (1 << 20), file > 0 ? extra / file : 0.0);
        }

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

// Idle cost of the delivery service: the service thread's CPU time and wake-ups per minute
// with an empty outbox, and the delay from a file appearing in the outbox to the thread
// waking on the change notification (median and worst).
//
//   bench_idle [SECONDS [SAMPLES]]      defaults: 20 s of idling, 100 files
//
// The registry is a private key under HKEY_CURRENT_USER and the outbox a fresh temporary
// directory. The files are created hidden: the thread wakes on them exactly as on a message,
// but no pass is started, so every sample measures only the wake-up.
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include "BenchSupport.h"
#include "MailService.h"

namespace {

double Seconds(const FILETIME& kernel, const FILETIME& user) {
    ULONGLONG k = (ULONGLONG(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime;
    ULONGLONG u = (ULONGLONG(user.dwHighDateTime) << 32) | user.dwLowDateTime;
    return double(k + u) / 1e7;
}

double ThreadCpuSeconds(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return -1;
    return Seconds(kernel, user);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    int samples = argc > 2 ? std::atoi(argv[2]) : 100;
    if (seconds <= 0 || samples <= 0) {
        std::fprintf(stderr, "usage: bench_idle [SECONDS [SAMPLES]]\n");
        return 2;
    }
    bench::PrivateRegistry registry;
    if (!registry.Isolated()) {
        std::fprintf(stderr, "bench_idle: cannot isolate the registry\n");
        return 2;
    }
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string base = std::string(temp) + "pennark-bench-" + std::to_string(GetCurrentProcessId());
    std::string outbox = base + "\\Outbox";
    CreateDirectoryA(base.c_str(), nullptr);
    CreateDirectoryA(outbox.c_str(), nullptr);
    testing_support::SetRegText(testing_support::kMailKey, "OutboxDir", outbox);

    Postvane::MailService& service = Postvane::Service();
    if (!PostvaneStart()) {
        std::fprintf(stderr, "bench_idle: the service did not start, error %lu\n", GetLastError());
        return 1;
    }
    Sleep(2000);  // the start pause, then the first idle wait

    double cpu0 = ThreadCpuSeconds(service.GetHandle());
    LONG wakeups0 = service.wakeups;
    DWORD tick0 = GetTickCount();
    Sleep(DWORD(seconds * 1000));
    double elapsed = (GetTickCount() - tick0) / 1000.0;
    double cpu1 = ThreadCpuSeconds(service.GetHandle());
    LONG wakeups1 = service.wakeups;

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> delays;
    int missed = 0;
    for (int i = 0; i < samples; ++i) {
        InterlockedExchange64(&service.notificationMark, 0);
        LONG before = service.notifications;
        std::string path = outbox + "\\sample-" + std::to_string(i) + ".eml";
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        DWORD waitStart = GetTickCount();
        // The mark is set before the count moves on.
        while (service.notifications == before && GetTickCount() - waitStart < 10000) SwitchToThread();
        if (service.notifications == before) {
            ++missed;
        } else {
            delays.push_back(double(service.notificationMark - start.QuadPart) * 1e6 / double(frequency.QuadPart));
        }
        Sleep(20);  // the thread builds its next change notification
    }

    PostvaneStop(1);

    // The work of one idle slice besides the wait itself (reading OutboxDir and looking the
    // outbox up), timed on this thread over many rounds: Wine counts thread times in 10 ms
    // ticks, too coarse for a few wake-ups.
    const int kRounds = 2000;
    Runlog quiet;
    Postvane::MailService probe(&quiet);
    probe.RefreshOutboxDir();
    probe.CheckOutboxWatch();
    double roundCpu0 = ThreadCpuSeconds(GetCurrentThread());
    LARGE_INTEGER round0, round1;
    QueryPerformanceCounter(&round0);
    for (int i = 0; i < kRounds; ++i) {
        probe.RefreshOutboxDir();
        probe.CheckOutboxWatch();
    }
    QueryPerformanceCounter(&round1);
    double roundCpu = (ThreadCpuSeconds(GetCurrentThread()) - roundCpu0) / kRounds;
    double roundWall = double(round1.QuadPart - round0.QuadPart) / double(frequency.QuadPart) / kRounds;

    for (int i = 0; i < samples; ++i) {
        std::string path = outbox + "\\sample-" + std::to_string(i) + ".eml";
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
    RemoveDirectoryA(outbox.c_str());
    RemoveDirectoryA(base.c_str());

    std::printf("idle over %.1f s (empty outbox)\n", elapsed);
    if (cpu0 >= 0 && cpu1 >= 0)
        std::printf("  service thread CPU time: %.3f ms per minute\n", (cpu1 - cpu0) * 1000.0 * 60.0 / elapsed);
    else
        std::printf("  service thread CPU time: not available (GetThreadTimes failed)\n");
    double wakeupsPerMinute = double(wakeups1 - wakeups0) * 60.0 / elapsed;
    std::printf("  wake-ups: %.1f per minute\n", wakeupsPerMinute);
    std::printf("  one idle slice's work: %.1f us CPU (%.1f us elapsed), so about %.2f ms CPU per minute\n",
                roundCpu * 1e6, roundWall * 1e6, roundCpu * 1000.0 * wakeupsPerMinute);
    std::sort(delays.begin(), delays.end());
    if (!delays.empty())
        std::printf("file to wake-up over %zu files: median %.0f us, worst %.0f us\n", delays.size(),
                    delays[delays.size() / 2], delays.back());
    if (missed) std::printf("  %d files were not noticed within 10 s\n", missed);
    return missed ? 1 : 0;
}

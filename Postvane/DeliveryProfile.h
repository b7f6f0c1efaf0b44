// Where the service thread's time goes: the wall time of each step of delivery, summed over
// every message since the last reset, with the number of times each step ran. The thread
// adds to it as it goes (two performance-counter reads per step); a benchmark or a
// diagnostic reads it while the service is idle and divides by the messages delivered.
#pragma once
#include <windows.h>

namespace Postvane {

enum class DeliveryPhase {
    Wake,         // from a change in the outbox to the pass (the wait's end, the candidate check)
    List,         // listing the outbox and the done marks
    Read,         // opening and reading a message, its headers, attempt log and class rules
    Connect,      // the registry's SMTP settings, the address and the TCP connection
    Hello,        // greeting, EHLO and authentication
    Transaction,  // MAIL FROM to the server's answer to the final dot
    Close,        // QUIT and closing the connection after delivery
    Keep,         // the move (or copy and removal) to the archive, the attempt log's removal
    Events,       // the daily event log's records
    Pass,         // whole passes over the outbox: the steps from listing to event log and the rest
    Count
};

// Names for printing, in the order of DeliveryPhase.
extern const char* const kDeliveryPhaseNames[];

struct DeliveryProfile {
    volatile LONGLONG ticks[int(DeliveryPhase::Count)];  // performance-counter ticks
    volatile LONG runs[int(DeliveryPhase::Count)];

    DeliveryProfile() { Reset(); }
    void Reset() {
        for (int i = 0; i < int(DeliveryPhase::Count); ++i) {
            ticks[i] = 0;
            runs[i] = 0;
        }
    }
    void Add(DeliveryPhase phase, LONGLONG elapsed) {
        ticks[int(phase)] += elapsed;
        ++runs[int(phase)];
    }
    // Takes time spent inside a phase that belongs to none (a wait for work) off it.
    void Exclude(DeliveryPhase phase, LONGLONG elapsed) { ticks[int(phase)] -= elapsed; }
    // Microseconds of a phase in all.
    double Microseconds(DeliveryPhase phase) const;
};

// Adds the time from its making to its end (or to Stop) to one phase.
class PhaseTimer {
public:
    PhaseTimer(DeliveryProfile& profile, DeliveryPhase phase) : profile_(&profile), phase_(phase) {
        QueryPerformanceCounter(&start_);
    }
    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;
    ~PhaseTimer() { Stop(); }
    void Stop() {
        if (!profile_) return;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        profile_->Add(phase_, now.QuadPart - start_.QuadPart);
        profile_ = nullptr;
    }

private:
    DeliveryProfile* profile_;
    DeliveryPhase phase_;
    LARGE_INTEGER start_;
};

}  // namespace Postvane

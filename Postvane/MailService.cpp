#include "MailService.h"
#include "FileChangeMonitor.h"
#include "Setting.h"
#include "qlframe.h"
#include <algorithm>

namespace Postvane {

const char* const kDeliveryPhaseNames[] = {"wake-up",     "listing",   "reading", "connection", "greeting+auth",
                                           "transaction", "closing",   "keeping", "event log", "whole passes"};
static_assert(sizeof kDeliveryPhaseNames / sizeof kDeliveryPhaseNames[0] == size_t(DeliveryPhase::Count),
              "a name for every phase");

double DeliveryProfile::Microseconds(DeliveryPhase phase) const {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(ticks[int(phase)]) * 1e6 / double(frequency.QuadPart);
}

namespace {
HANDLE CreateReleasedMutex() {
    // Created owned and released at once, as the callback lock is taken only by MutexLock.
    HANDLE h = CreateMutexA(nullptr, TRUE, nullptr);
    if (h) ReleaseMutex(h);
    return h;
}
}  // namespace

MailService::MailService() : MailService(&ServiceLog()) {}

MailService::MailService(Runlog* serviceLog)
    : stopEvent(true, false),
      debugFlags(0),
      connection(*this, debugFlags, *serviceLog),
      session(connection),
      dialup(serviceLog, "Mail", "Postvane"),
      callbackLock(CreateReleasedMutex()),
      callback(nullptr),
      callbackData(nullptr),
      secondMs(1000),
      waitSliceMs(kWaitSliceMs),
      wakeups(0),
      notifications(0),
      notificationMark(0),
      serviceLog_(serviceLog) {}

MailService::~MailService() {}

bool MailService::CheckStop(bool quiet) {
    bool stop = stopEvent.IsSignalled();
    if (stop && !quiet) throw QLAppException("Обнаружен запрос на завершение работы сервиса");
    return stop;
}

unsigned WaitSeconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return seconds >= kLongestWaitSeconds ? kLongestWaitSeconds : unsigned(seconds);
}

unsigned MailService::RetryTimeout() {
    StoredNumber stored = ReadStoredNumber(*ConfigKey(), "Retry Timeout");
    // A text of digits beyond 32 bits is a very long wait; a 32-bit number with its top
    // bit set is a negative one, which no pause can be.
    if (stored.present && (!stored.number || (!stored.huge && stored.value > kMaxRetrySetting))) {
        // A pause must still be made: the documented one stands in, and the value is told
        // once for as long as it stays.
        if (stored.shown != refusedRetry) {
            refusedRetry = stored.shown;
            Log().WriteText(Runlog::Error, BadSettingText(kMailKeyPath, "Retry Timeout", stored.shown,
                                                          "число секунд (0: 15 с)") +
                                               FormatBuffer(64, "; пауза пока %u с", kDefaultRetrySeconds));
        }
        return kDefaultRetrySeconds;
    }
    refusedRetry = string();
    return !stored.present || stored.value == 0 ? kDefaultRetrySeconds : WaitSeconds(stored.value);
}

void MailService::LeaveAlone(const keystring& name, DWORD ms) {
    LeftFile& left = leftFiles[name];
    left.aside = true;
    left.due = GetTickCount() + ms;
}

bool MailService::IsLeftAlone(const keystring& name, DWORD* wait) {
    auto entry = leftFiles.find(name);
    if (entry == leftFiles.end() || !entry->second.aside) return false;
    LONG left = LONG(entry->second.due - GetTickCount());
    if (left <= 0) {
        entry->second.aside = false;  // due: a tick count that wraps must not make it wait again
        return false;
    }
    if (wait) *wait = DWORD(left);
    return true;
}

namespace {

template <typename Map>
void KeepOnly(Map& map, const std::vector<keystring>& names) {
    for (auto entry = map.begin(); entry != map.end();) {
        if (std::binary_search(names.begin(), names.end(), entry->first)) ++entry;
        else entry = map.erase(entry);
    }
}

}  // namespace

void MailService::ForgetFilesBut(const std::vector<keystring>& names) {
    KeepOnly(leftFiles, names);
    KeepOnly(memory, names);
}

void MailService::InvokeCallback(int code, int detail) {
    MutexLock lock(callbackLock, true);
    if (callback) callback(code, detail, callbackData);
}

}  // namespace Postvane

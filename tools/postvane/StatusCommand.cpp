// postvane status: the operator's view of the queue. Lists the outbox in processing order
// with what the service will do with each message, read with the service's own rules, and
// counts the archive and the bad-mail directory.
#include <cmath>
#include <cstdio>
#include <string>
#include "OutboxMessage.h"
#include "PKLib.h"
#include "Settled.h"
#include "Tool.h"
#include "qlframe.h"

namespace {

using namespace Postvane;

size_t CountFiles(const string& dir) {
    size_t n = 0;
    if (dir.IsEmpty()) return 0;
    for (FileFinder f(MakePathSpec(dir) + "*.*"); f.Found(); f.Next())
        if (!(f.Attributes() & FILE_ATTRIBUTE_DIRECTORY)) ++n;
    return n;
}

std::string Moment(const RealTime& local) { return Format(2, local, true, true).str(); }

// What the next pass will do with one message file.
void Describe(const string& outbox, const keystring& name, DWORD debugFlags, unsigned retryTimeout,
              const string& fallbackRecipient) {
    string path = MakePathSpec(outbox) + name;
    std::printf("  %s\n", name.c_str());
    DoneMark mark;
    if (ReadDoneMark(DoneMarkPath(outbox, path), &mark) && DoneMarkMatches(mark, path)) {
        std::printf("    %s, its file could not be removed (marked %s): never sent again, removed when it can be\n",
                    mark.delivered ? "delivered" : "undeliverable and kept in bad mail",
                    mark.when ? Moment(mark.when.Local()).c_str() : "?");
        return;
    }
    FilePort file(path, CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) {
        std::printf("    busy: cannot be opened now (error %lu); taken when its writer is done\n", GetLastError());
        return;
    }
    std::string head(kHeaderWindow, '\0');
    LONGLONG pos = 0;
    head.resize(file.Read(&pos, &head[0], DWORD(head.size())));
    if (head.empty()) {
        std::printf("    empty file: rejected at next pass\n");
        return;
    }
    MessageHeaders headers = ParseHeaders(head.data(), head.size());
    string recipient = headers.hasTo && headers.to.HasText() ? headers.to : fallbackRecipient;
    std::printf("    recipient: %s%s\n", recipient.HasText() ? recipient.c_str() : "(none)",
                headers.hasTo && headers.to.HasText() ? "" : (recipient.HasText() ? " (configured Recipient)" : ""));
    std::printf("    class: %s\n", headers.mailClass.HasText() ? headers.mailClass.c_str() : "(none)");

    unsigned count = 0;
    RealTime last;
    if (!(debugFlags & kNoAttemptLogs)) ReadAttemptLog(AttemptLogPath(outbox, path), &count, &last);
    std::printf("    counted attempts: %u\n", count);
    if (last) std::printf("    last attempt: %s\n", Moment(last.Local()).c_str());

    ClassRules rules = ReadClassRules(headers.mailClass);
    if (rules.maxAttempt != 0 && count >= rules.maxAttempt) {
        std::printf("    next: rejected at next pass (%s limit %u attempts)\n",
                    headers.mailClass.HasText() ? "class" : "Mail key", rules.maxAttempt);
        return;
    }
    if (recipient.IsEmpty()) {
        std::printf("    next: rejected at next pass (no recipient)\n");
        return;
    }
    if (count != 0 && last) {
        unsigned delay = ScheduleDelay(rules.schedule, count, retryTimeout);
        RealTime nowUtc = RealTime::Now().UTC();
        RealTime due = ((last > nowUtc ? nowUtc : last) + RealTime(delay * RealTime::Second)).Local();
        if (due > RealTime::Now()) {
            std::printf("    next: %s (wait %u s after failure %u)\n", Moment(due).c_str(), delay, count);
            return;
        }
    }
    std::printf("    next: at the next pass\n");
}

int RunStatus(const tool::Args&) {
    RegKey mail(HKEY_LOCAL_MACHINE, kMailKeyPath, false, RegKey::ReadAccess);
    RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKeyPath, false, RegKey::ReadAccess);
    string outbox = mail["OutboxDir"].Text();
    int retry = mail["Retry Timeout"].Number();
    DWORD debugFlags = DWORD(mail["DebugFlags"].Number());
    if (outbox.IsEmpty()) {
        std::printf("Outbox: not configured (OutboxDir is empty)\n");
    } else {
        std::vector<keystring> names = ListOutbox(outbox);
        std::printf("Outbox: %s (%u message%s)\n", outbox.c_str(), unsigned(names.size()), names.size() == 1 ? "" : "s");
        for (const keystring& name : names)
            Describe(outbox, name, debugFlags, retry <= 0 ? kDefaultRetrySeconds : WaitSeconds(retry),
                     smtp["Recipient"].Text());
        unsigned unfinished = 0;
        for (FileFinder f(MakePathSpec(outbox) + "*.eml"); f.Found(); f.Next())
            if ((f.Attributes() & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_HIDDEN) ++unfinished;
        if (unfinished)
            std::printf("Hidden message files: %u (being written, or the remains of an interrupted submission, which "
                        "the service sets aside into bad mail at its next start)\n", unfinished);
    }
    string archive = mail["ArchiveDir"].Text(), bad = mail["BadMailDir"].Text();
    std::printf("Archive: %s: %u\n", archive.HasText() ? archive.c_str() : "(not kept)", unsigned(CountFiles(archive)));
    std::printf("Bad mail: %s: %u\n", bad.HasText() ? bad.c_str() : "(not kept)", unsigned(CountFiles(bad)));
    return 0;
}

tool::Command status("status", ": lists the outbox in processing order and counts the archive and bad mail", RunStatus);

}  // namespace

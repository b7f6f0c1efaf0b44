// postvane status: the operator's view of the queue. Lists the outbox in processing order
// with what the service will do with each message, read with the service's own rules, and
// counts the archive and the bad-mail directory.
#include <cstdio>
#include <string>
#include "QueueStatus.h"
#include "Tool.h"

namespace {

// Output is gathered into blocks this large: a console write per line costs more than the
// listing itself when the queue is long.
const size_t kOutputBlock = 64 * 1024;

int RunStatus(const tool::Args&) {
    std::string block;
    auto flush = [&block] {
        std::fwrite(block.data(), 1, block.size(), stdout);
        block.clear();
    };
    Postvane::WriteQueueStatus(Postvane::ReadStatusSettings(), [&](const std::string& line) {
        block += line;
        block += '\n';
        if (block.size() >= kOutputBlock) flush();
    });
    flush();
    std::fflush(stdout);
    return 0;
}

tool::Command status("status", ": lists the outbox in processing order and counts the archive and bad mail", RunStatus);

}  // namespace

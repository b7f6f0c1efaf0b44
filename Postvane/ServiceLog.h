// The service log's file and the daily event log's texts.
#pragma once
#include "core.h"
#include "qlbase.h"

namespace Postvane {

// The service-log step of a start: reads DebugLog; when it is set, the first asterisk
// becomes the local date "(YYYY-MM-DD)", the path is made absolute, and the service log
// writes to that file (options 3) until the service thread ends it.
void OpenServiceLog();

// The service log's file name for a DebugLog value on the given local day: the first
// asterisk replaced by "(YYYY-MM-DD)"; the path made absolute. Empty stays empty.
string ServiceLogPath(const string& debugLog, const RealTime& day);

// Text from outside (a server's reply, a name from the network, a reason that quotes them)
// made fit for one log record: line ends at its end are dropped, and every other control
// character (below 0x20, and DEL) is shown as an escape: \r, \n and \t by their letters, the
// rest as \xNN. A record then always stays one line and never carries a raw NUL, BEL or ESC
// into whatever shows the log.
string LogSafe(const string& text);

}  // namespace Postvane

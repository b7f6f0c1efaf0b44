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

}  // namespace Postvane

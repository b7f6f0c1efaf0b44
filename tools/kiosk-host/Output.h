// The host's report: one line per thing that happened, from any thread, in windows-1251
// like every text of the system.
#pragma once
#include <string>

namespace kiosk {

// Writes the program's name ("kiosk-host"), ": " and the line (standard output, flushed at once).
void Report(const std::string& line);
// The name Report starts its lines with.
void SetReportName(const char* name);
// Writes the line as it stands.
void ReportRaw(const std::string& line);
// A wide text as windows-1251, between double quotes.
std::string Quoted(const std::wstring& text);

}  // namespace kiosk

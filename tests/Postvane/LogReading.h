// Reading the service's log files back in tests.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "TestSupport.h"
#include "qlbase.h"

namespace postvane_test {

// The records of a log file without their time stamps: "[kind] message".
inline std::vector<std::string> Records(const std::string& path) {
    std::vector<std::string> records;
    std::string text = testing_support::ReadFileBytes(path);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        size_t kind = line.find(" [");
        records.push_back(kind == std::string::npos ? line : line.substr(kind + 1));
        pos = end + 2;
    }
    return records;
}

// True when some record of the file contains the text.
inline bool HasRecord(const std::string& path, const std::string& text) {
    for (const std::string& r : Records(path))
        if (r.find(text) != std::string::npos) return true;
    return false;
}

// Index of the first record containing text, or -1.
inline int RecordIndex(const std::vector<std::string>& records, const std::string& text) {
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].find(text) != std::string::npos) return int(i);
    return -1;
}

// Polls until the condition holds. The limit only keeps a broken build from hanging.
inline bool Eventually(const std::function<bool()>& condition, DWORD limitMs = 30000) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > limitMs) return false;
        Sleep(10);
    }
    return true;
}

}  // namespace postvane_test

// The operator's console tool: one command per source file, registered by name. The tool
// holds the delivery service library itself, so a process of the tool has one copy of the
// service: the commands call the exported functions and the library's own parts directly.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "Postvane.h"

namespace tool {

typedef std::vector<std::string> Args;  // the words after the command's name

// A command registers itself from its own source file:
//   static tool::Command send("send", "--to ADDR ... : submits one message", RunSend);
struct Command {
    Command(const char* name, const char* usage, int (*run)(const Args&));
};

// The full path of a file in the tool's own folder.
std::string BesideTool(const char* name);

// Value of an option "--name VALUE" (all occurrences, in order).
std::vector<std::string> Options(const Args& args, const char* name);
std::string Option(const Args& args, const char* name, const std::string& fallback = std::string());
bool HasFlag(const Args& args, const char* name);

// Reads one line from the console without echoing it (a password, a secret).
std::string ReadHidden();

}  // namespace tool

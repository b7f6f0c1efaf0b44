// The operator's console tool: one command per source file, registered by name.
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

// The exports of Postvane.dll, loaded from beside the tool. Throws std::runtime_error
// when the library or an export is missing.
struct Exports {
    static const Exports& Get();
    HMODULE module;
    BOOL(WINAPI* SmtpSendMail)(const SmtpMail*);
    FARPROC Find(const char* name) const;
};

// Value of an option "--name VALUE" (all occurrences, in order).
std::vector<std::string> Options(const Args& args, const char* name);
std::string Option(const Args& args, const char* name, const std::string& fallback = std::string());
bool HasFlag(const Args& args, const char* name);

}  // namespace tool

// What the host is told to do: steps from its command line and from scenario files, each a
// command of the host with its arguments. Commands register themselves from the program's
// source files (one registration object per command).
#pragma once
#include <string>
#include <vector>

namespace kiosk {

class KioskHost;

struct Step {
    std::string command;
    std::vector<std::wstring> args;
    std::string where;  // where it was given, for messages ("argument 3", "scenario.txt line 2")
};

struct CommandForm {
    const char* name;
    int args;            // exactly this many; the last one may be empty
    const char* usage;   // the arguments and what the command does
    bool (*run)(KioskHost& host, const Step& step);  // false when it failed
};

// static kiosk::Command wait({"wait", 1, "SECONDS: ...", RunWait});
struct Command {
    explicit Command(const CommandForm& form);
};
const CommandForm* FindCommand(const std::string& name);

struct Options {
    std::wstring plugin;      // module path; empty: Email.dll beside the program
    bool direct = false;      // call extenders through their interface tables
    bool answerBoxes = false; // message boxes are reported and answered with their default button
    bool stay = false;        // after the steps, run until the main window is closed
};

// The words of the command line (after the program's name): options and steps. Steps are
// "--COMMAND ARG..." ("--prop NAME=VALUE" also in one word) and "--scenario FILE", whose
// steps take its place. False with a message when the line cannot be understood.
bool ParseCommandLine(const std::vector<std::wstring>& words, Options* options, std::vector<Step>* steps,
                      std::string* error);
// A scenario file (UTF-8): one step a line, "COMMAND ARG...", the last argument being the
// rest of the line; blank lines and lines starting with # are skipped.
bool ReadScenario(const std::wstring& path, std::vector<Step>* steps, std::string* error);

// A text with \n, \r, \t and \\ standing for a line feed, a carriage return, a tab and a
// backslash (for texts given on one line, such as property values).
std::wstring Unescape(const std::wstring& text);

// The usage text: options and every registered command.
std::string Usage();

}  // namespace kiosk

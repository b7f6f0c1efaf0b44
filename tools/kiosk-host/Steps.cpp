#include "Steps.h"
#include <windows.h>
#include <cstdio>
#include <map>
#include <sstream>
#include "CoString.h"

namespace kiosk {

namespace {

std::map<std::string, CommandForm>& Commands() {
    static std::map<std::string, CommandForm> commands;
    return commands;
}

std::string Narrow(const std::wstring& text) { return CoString::Narrow(text.c_str()).str(); }

}  // namespace

std::wstring Unescape(const std::wstring& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
        case L'n': out += L'\n'; break;
        case L'r': out += L'\r'; break;
        case L't': out += L'\t'; break;
        case L'\\': out += L'\\'; break;
        default: out += L'\\'; out += text[i];
        }
    }
    return out;
}

namespace {

std::wstring Widen(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(size_t(n), L'\0');
    if (n) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &text[0], n);
    return text;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

Command::Command(const CommandForm& form) { Commands()[form.name] = form; }

const CommandForm* FindCommand(const std::string& name) {
    auto found = Commands().find(name);
    return found == Commands().end() ? nullptr : &found->second;
}

bool ParseCommandLine(const std::vector<std::wstring>& words, Options* options, std::vector<Step>* steps,
                      std::string* error) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        std::string where = "argument " + std::to_string(i + 1);
        auto value = [&](std::wstring* out) {
            if (i + 1 >= words.size()) {
                *error = where + ": " + Narrow(word) + " needs a value";
                return false;
            }
            *out = words[++i];
            return true;
        };
        if (word == L"--plugin") {
            if (!value(&options->plugin)) return false;
        } else if (word == L"--direct") {
            options->direct = true;
        } else if (word == L"--answer-boxes") {
            options->answerBoxes = true;
        } else if (word == L"--stay") {
            options->stay = true;
        } else if (word == L"--scenario") {
            std::wstring path;
            if (!value(&path) || !ReadScenario(path, steps, error)) return false;
        } else if (word.compare(0, 2, L"--") == 0 && FindCommand(Narrow(word.substr(2)))) {
            const CommandForm* form = FindCommand(Narrow(word.substr(2)));
            Step step{form->name, {}, where};
            size_t equals = i + 1 < words.size() ? words[i + 1].find(L'=') : std::wstring::npos;
            if (form->args == 2 && equals != std::wstring::npos) {
                step.args = {words[i + 1].substr(0, equals), words[i + 1].substr(equals + 1)};
                ++i;
            } else {
                for (int a = 0; a < form->args; ++a) {
                    std::wstring arg;
                    if (!value(&arg)) return false;
                    step.args.push_back(arg);
                }
            }
            steps->push_back(step);
        } else {
            *error = where + ": unknown option " + Narrow(word);
            return false;
        }
    }
    return true;
}

bool ReadScenario(const std::wstring& path, std::vector<Step>* steps, std::string* error) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) {
        *error = "cannot read the scenario " + Narrow(path);
        return false;
    }
    std::string content;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, n);
    std::fclose(file);
    std::istringstream in(content);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);  // a UTF-8 mark
        std::wstring text = Widen(line);
        size_t at = 0;
        while (at < text.size() && IsBlank(text[at])) ++at;
        if (at == text.size() || text[at] == L'#') continue;
        std::string where = Narrow(path) + " line " + std::to_string(number);

        auto word = [&]() {
            size_t begin = at;
            while (at < text.size() && !IsBlank(text[at])) ++at;
            std::wstring w = text.substr(begin, at - begin);
            while (at < text.size() && IsBlank(text[at])) ++at;
            return w;
        };
        std::string name = Narrow(word());
        const CommandForm* form = FindCommand(name);
        if (!form) {
            *error = where + ": unknown command " + name;
            return false;
        }
        Step step{form->name, {}, where};
        for (int a = 0; a < form->args; ++a) {
            std::wstring arg = a + 1 < form->args ? word() : text.substr(at);
            if (a + 1 < form->args && arg.empty()) {
                *error = where + ": " + name + " needs " + std::to_string(form->args) + " argument(s)";
                return false;
            }
            step.args.push_back(arg);
        }
        steps->push_back(step);
    }
    return true;
}

std::string Usage() {
    std::ostringstream out;
    out << "usage: kiosk-host [--plugin PATH] [--direct] [--answer-boxes] [--stay] [STEP ...]\n"
           "  --plugin PATH      the plugin module (default: Email.dll beside kiosk-host)\n"
           "  --direct           call the extenders through their interfaces, not IDispatch::Invoke\n"
           "  --answer-boxes     report message boxes and answer them with their default button\n"
           "  --stay             after the steps, run until the main window is closed\n"
           "  --scenario FILE    the steps of a scenario file (one a line: COMMAND ARG...)\n"
           "steps (--COMMAND on the command line, COMMAND in a scenario):\n";
    for (const auto& c : Commands()) out << "  " << c.first << " " << c.second.usage << "\n";
    return out.str();
}

}  // namespace kiosk

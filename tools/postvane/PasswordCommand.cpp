// postvane password: stores the SMTP account password protected, as the settings page does.
#include <cstdio>
#include <string>
#include "Globals.h"
#include "Secret.h"
#include "Tool.h"
#include "qlbase.h"

namespace tool {

std::string ReadHidden() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    bool console = GetConsoleMode(in, &mode) != FALSE;
    if (console) SetConsoleMode(in, mode & ~DWORD(ENABLE_ECHO_INPUT));
    std::string line;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
        if (c != '\r') line += char(c);
    }
    if (console) {
        SetConsoleMode(in, mode);
        std::fputc('\n', stderr);
    }
    return line;
}

}  // namespace tool

namespace {

int RunPassword(const tool::Args& args) {
    std::string password;
    if (tool::Options(args, "--value").empty()) {
        std::fprintf(stderr, "password: ");
        password = tool::ReadHidden();
    } else {
        password = tool::Option(args, "--value");
    }
    RegKey smtp(HKEY_LOCAL_MACHINE, Postvane::kSmtpKeyPath, true, RegKey::AllAccess);
    bool stored = StoreSecret(kSecretDescription, smtp.Handle(), "Pass", password.c_str());
    SecureZeroMemory(&password[0], password.size());
    if (!stored) {
        std::fprintf(stderr, "postvane: the password was not stored, error %lu\n", GetLastError());
        return 1;
    }
    std::printf("Pass stored protected under HKEY_LOCAL_MACHINE\\%s\n", Postvane::kSmtpKeyPath);
    return 0;
}

tool::Command password("password", "[--value TEXT] : stores the SMTP password protected (asks for it without --value)",
                       RunPassword);

}  // namespace

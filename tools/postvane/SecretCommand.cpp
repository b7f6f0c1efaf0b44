// postvane secret: stores an OAuth 2.0 secret of the SMTP sign-in protected, as Pass is
// stored: the client secret (OAuthSecret, for Auth = 1) or the refresh token
// (OAuthRefreshToken, for Auth = 2). The value is never printed.
#include <cstdio>
#include <cstring>
#include <string>
#include "Globals.h"
#include "Secret.h"
#include "Tool.h"
#include "qlbase.h"

namespace {

struct Kind {
    const char* word;   // as the command takes it
    const char* value;  // the SMTP subkey's value
    const char* prompt;
};
const Kind kKinds[] = {
    {"oauth", "OAuthSecret", "client secret: "},
    {"refresh-token", "OAuthRefreshToken", "refresh token: "},
};

int RunSecret(const tool::Args& args) {
    const Kind* kind = nullptr;
    for (const Kind& k : kKinds)
        if (!args.empty() && args[0] == k.word) kind = &k;
    if (!kind) {
        std::fprintf(stderr, "usage: postvane secret oauth|refresh-token [--value TEXT]\n");
        return 2;
    }
    std::string secret;
    if (tool::Options(args, "--value").empty()) {
        std::fprintf(stderr, "%s", kind->prompt);
        secret = tool::ReadHidden();
    } else {
        secret = tool::Option(args, "--value");
    }
    if (secret.empty()) {
        std::fprintf(stderr, "postvane: an empty %s is not stored\n", kind->value);
        return 1;
    }
    RegKey smtp(HKEY_LOCAL_MACHINE, Postvane::kSmtpKeyPath, true, RegKey::AllAccess);
    bool stored = StoreSecret(kSecretDescription, smtp.Handle(), kind->value, secret.c_str());
    SecureZeroMemory(&secret[0], secret.size());
    if (!stored) {
        std::fprintf(stderr, "postvane: %s was not stored, error %lu\n", kind->value, GetLastError());
        return 1;
    }
    std::printf("%s stored protected under HKEY_LOCAL_MACHINE\\%s\n", kind->value, Postvane::kSmtpKeyPath);
    return 0;
}

tool::Command secret("secret",
                     "oauth|refresh-token [--value TEXT] : stores the OAuth client secret (OAuthSecret) or refresh "
                     "token (OAuthRefreshToken) protected (asks for it without --value)",
                     RunSecret);

}  // namespace

// postvane send: submits one message through the exported SmtpSendMail and shows the file
// it stored in the outbox.
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>
#include "Globals.h"
#include "Submit.h"
#include "Tool.h"
#include "qlframe.h"

namespace {

const char* const kValueOptions[] = {"--to", "--from", "--subject", "--text", "--class", "--attach"};

// Names of the last errors with which a submission is refused.
const char* RefusalName(DWORD error) {
    switch (error) {
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_INVALID_DATA: return "ERROR_INVALID_DATA";
    case ERROR_SERVICE_DISABLED: return "ERROR_SERVICE_DISABLED: the Mail key's Disabled value is set";
    default: return "unexpected";
    }
}

std::string ReadWholeFile(const std::string& path) {
    FilePort file(path.c_str(), CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid())
        throw std::runtime_error("cannot open the attachment " + path + ", error " + std::to_string(GetLastError()));
    LONGLONG size = file.Size();
    if (size > LONGLONG(0x7FFFFFFF)) throw std::runtime_error("the attachment " + path + " is too large");
    std::string data(size_t(size), '\0');
    LONGLONG position = 0;
    data.resize(file.Read(&position, &data[0], DWORD(size)));
    return data;
}

// The outbox that a submission uses now: OutboxDir, or the default that it would store.
std::string CurrentOutbox() {
    RegKey mail(HKEY_LOCAL_MACHINE, Postvane::kMailKeyPath, false, RegKey::ReadAccess);
    string dir = mail["OutboxDir"].Text();
    return (dir.HasText() ? dir : Postvane::DefaultOutboxDir()).str();
}

std::set<std::string> MessageFiles(const std::string& dir) {
    std::set<std::string> names;
    for (FileFinder f((MakePathSpec(dir.c_str()) + "*.eml").c_str()); f.Found(); f.Next())
        if (!(f.Attributes() & FILE_ATTRIBUTE_DIRECTORY)) names.insert(f.Name());
    return names;
}

int RunSend(const tool::Args& args) {
    for (size_t i = 0; i < args.size(); i += 2) {
        bool known = false;
        for (const char* option : kValueOptions) known = known || args[i] == option;
        if (!known || i + 1 >= args.size()) {
            std::fprintf(stderr, "postvane send: %s %s\n", known ? "no value after" : "unknown option",
                         args[i].c_str());
            return 2;
        }
    }
    const std::string to = tool::Option(args, "--to"), from = tool::Option(args, "--from"),
                      subject = tool::Option(args, "--subject"), text = tool::Option(args, "--text"),
                      mailClass = tool::Option(args, "--class");
    const std::vector<std::string> files = tool::Options(args, "--attach");

    std::vector<std::string> contents, names;
    for (const std::string& f : files) {
        contents.push_back(ReadWholeFile(f));
        names.push_back(GetFileFromPath(f.c_str()).str());
    }
    std::vector<SmtpMailAttachment> attachments(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        attachments[i].Size = sizeof(SmtpMailAttachment);
        attachments[i].Data = contents[i].data();
        attachments[i].DataSize = DWORD(contents[i].size());
        attachments[i].ContentType = nullptr;  // application/octet-stream
        attachments[i].FileName = names[i].c_str();
    }

    SmtpMail mail = {};
    mail.Size = sizeof(SmtpMail);
    mail.To = to.c_str();
    mail.Subject = subject.c_str();
    mail.Text = text.c_str();
    mail.Attachments = attachments.empty() ? nullptr : attachments.data();
    mail.AttachmentCount = DWORD(attachments.size());
    mail.From = from.c_str();
    mail.Class = mailClass.c_str();

    std::set<std::string> before = MessageFiles(CurrentOutbox());
    BOOL stored = FALSE;
    try {
        stored = SmtpSendMail(&mail);
    } catch (const QuilletException& e) {
        std::fprintf(stderr, "postvane send: the submission failed: %s\n", e.Reason().c_str());
        return 1;
    }
    if (!stored) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "postvane send: the submission was refused, last error %lu (%s)\n", error,
                     RefusalName(error));
        return 1;
    }

    std::string outbox = CurrentOutbox();
    std::set<std::string> after = MessageFiles(outbox);
    int shown = 0;
    for (const std::string& name : after)
        if (!before.count(name)) {
            std::printf("%s\n", (MakePathSpec(outbox.c_str()) + name.c_str()).c_str());
            ++shown;
        }
    if (shown == 0) std::printf("stored in %s (the file has already left the outbox)\n", outbox.c_str());
    return 0;
}

tool::Command send("send",
                   "--to ADDRS --from NAME --subject TEXT --text TEXT [--class CLASS] [--attach FILE ...] :"
                   " submits one message and prints the stored file",
                   RunSend);

}  // namespace

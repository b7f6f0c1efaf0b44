// Postvane.dll as the kiosk host loads it: every export found by name (on Win32 under its
// plain and its standard-call name, one entry, removing its own arguments), the argument
// records read with the target's layout, and an exception raised inside the library caught
// with its type by this program's code.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <string>
#include <vector>
#include "Postvane.h"  // the record and callback types only; no call links to the library
#include "TestSupport.h"
#include "core.h"

using namespace testing_support;

namespace {

// Argument bytes of every export on Win32; the default-configuration writer is a C++
// function, exported under its linkage name and cleaned up by its caller.
const struct Export {
    const char* name;
    int argumentBytes;  // -1: no standard-call name
} kExports[] = {
    {"SmtpSendMail", 4},
    {"PostvaneStart", 0},
    {"PostvaneStop", 4},
    {"SmtpEnabled", 0},
    {"SetPostvaneCallback", 8},
    {"_Z23SmtpCreateDefaultConfigv", -1},
};

// The records as the library must read them: every field takes one pointer-sized slot
// (a DWORD field is padded to eight bytes on Win64).
const size_t kSlot = sizeof(void*);
const size_t kMailSize = 8 * kSlot;        // Size To Subject Text Attachments AttachmentCount From Class
const size_t kAttachmentSize = 5 * kSlot;  // Size Data DataSize ContentType FileName
#ifdef _WIN64
static_assert(kMailSize == 64 && kAttachmentSize == 40, "Win64 records");
#else
static_assert(kMailSize == 32 && kAttachmentSize == 20, "Win32 records");
#endif

// A record laid out by hand, field by field.
class Record {
public:
    explicit Record(size_t size) : bytes_(size, 0) {}
    void Number(size_t slot, DWORD value) { std::memcpy(&bytes_[slot * kSlot], &value, sizeof value); }
    void Pointer(size_t slot, const void* value) { std::memcpy(&bytes_[slot * kSlot], &value, sizeof value); }
    const void* Data() const { return bytes_.data(); }
private:
    std::vector<unsigned char> bytes_;
};

typedef BOOL(WINAPI* SendMailFn)(const void* mail);
typedef BOOL(WINAPI* FlagFn)();
typedef BOOL(WINAPI* StopFn)(int wait);
typedef BOOL(WINAPI* SetCallbackFn)(PostvaneCallback callback, void* userData);

#ifndef _WIN64
// Calls fn with the arguments pushed right to left, as both Win32 conventions pass them, and
// answers how many bytes of them fn removed from the stack: all for a standard-call function,
// none for a caller-cleans one. The stack pointer is restored either way. result: what fn returned.
DWORD ArgumentBytesRemoved(FARPROC fn, const DWORD* args, DWORD count, DWORD* result) {
    DWORD left = count;
    asm volatile(
        "mov %%esp, %%edi\n\t"
        "1:\n\t"
        "test %%ecx, %%ecx\n\t"
        "jz 2f\n\t"
        "pushl -4(%%ebx,%%ecx,4)\n\t"
        "dec %%ecx\n\t"
        "jmp 1b\n"
        "2:\n\t"
        "call *%%esi\n\t"
        "mov %%edi, %%ecx\n\t"
        "sub %%esp, %%ecx\n\t"
        "mov %%edi, %%esp\n\t"
        : "=a"(*result), "+c"(left)
        : "S"(fn), "b"(args)
        : "edx", "edi", "memory", "cc");
    return count * 4 - left;
}
#endif

class PostvaneDll : public ::testing::Test {
protected:
    void SetUp() override {
        outbox = dir / "Outbox";
        SetRegText(kMailKey, "OutboxDir", outbox);
        module = LoadLibraryA(BesideTests("Postvane.dll").c_str());
        ASSERT_NE(nullptr, module) << "error " << GetLastError();
    }
    void TearDown() override {
        if (module) FreeLibrary(module);
    }
    FARPROC Find(const std::string& name) const { return GetProcAddress(module, name.c_str()); }
    template <typename F>
    F Entry(const char* name) const {
        FARPROC p = Find(name);
        EXPECT_NE(nullptr, p) << name;
        return reinterpret_cast<F>(p);
    }
    // The one stored message, removed from the outbox.
    std::string TakeMessage() const {
        std::vector<std::string> names = ListDir(outbox);
        if (names.size() != 1) return "<" + std::to_string(names.size()) + " files in the outbox>";
        std::string bytes = ReadFileBytes(outbox + "\\" + names[0]);
        DeleteFileA((outbox + "\\" + names[0]).c_str());
        return bytes;
    }

    TempDir dir;
    std::string outbox;
    HMODULE module = nullptr;
};

}  // namespace

TEST_F(PostvaneDll, EveryExportIsFoundByNameAndOnWin32UnderItsStandardCallNameAsOneEntry) {
    for (const Export& e : kExports) {
        FARPROC plain = Find(e.name);
        EXPECT_NE(nullptr, plain) << e.name;
        if (e.argumentBytes < 0) continue;
        FARPROC decorated = Find(std::string(e.name) + "@" + std::to_string(e.argumentBytes));
#ifdef _WIN64
        EXPECT_EQ(nullptr, decorated) << e.name << ": Win64 has one calling convention and no decorated names";
#else
        EXPECT_NE(nullptr, decorated) << e.name << "@" << e.argumentBytes;
        EXPECT_EQ(plain, decorated) << e.name << ": both names lead to one entry";
#endif
    }
}

#ifndef _WIN64
TEST_F(PostvaneDll, EveryStandardCallExportRemovesItsOwnArguments) {
    SetRegNumber(kMailKey, "Disabled", 1);  // so that the start is refused at once
    const struct Call {
        const char* name;
        std::vector<DWORD> args;
        DWORD result;
    } calls[] = {
        {"SmtpSendMail@4", {0}, FALSE},  // no record: refused
        {"PostvaneStart@0", {}, FALSE},  // disabled: refused
        {"PostvaneStop@4", {0}, TRUE},
        {"SmtpEnabled@0", {}, FALSE},
        {"SetPostvaneCallback@8", {0, 0}, TRUE},
    };
    for (const Call& c : calls) {
        FARPROC fn = Find(c.name);
        ASSERT_NE(nullptr, fn) << c.name;
        DWORD result = 0xDEADBEEF;
        EXPECT_EQ(4 * c.args.size(), ArgumentBytesRemoved(fn, c.args.data(), DWORD(c.args.size()), &result)) << c.name;
        EXPECT_EQ(c.result, result) << c.name;
    }
    // The measure itself: a caller-cleans function leaves its arguments.
    const DWORD text[] = {DWORD(reinterpret_cast<UINT_PTR>("four"))};
    DWORD length = 0;
    EXPECT_EQ(0u, ArgumentBytesRemoved(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "strlen"), text, 1, &length));
    EXPECT_EQ(4u, length);
}
#endif

TEST_F(PostvaneDll, MailRecordIsReadWithTheTargetsLayout) {
    SendMailFn send = Entry<SendMailFn>(sizeof(void*) == 4 ? "SmtpSendMail@4" : "SmtpSendMail");
    ASSERT_NE(nullptr, send);
    const char content[] = "receipt 000417";
    Record attachment(kAttachmentSize);
    attachment.Number(0, DWORD(kAttachmentSize));
    attachment.Pointer(1, content);
    attachment.Number(2, DWORD(sizeof content - 1));
    attachment.Pointer(3, "text/plain");
    attachment.Pointer(4, "receipt.txt");

    const struct Case {
        size_t size;  // the record's Size field
        BOOL stored;
        DWORD error;
    } cases[] = {
        {kMailSize - 1, FALSE, ERROR_INVALID_DATA},  // shorter than the target's record
        {kMailSize, TRUE, 0},
        {kMailSize + 16, TRUE, 0},  // a later, larger record
    };
    for (const Case& c : cases) {
        Record mail(kMailSize + 16);
        mail.Number(0, DWORD(c.size));
        mail.Pointer(1, "operator@pennark.example");
        mail.Pointer(2, "Daily receipt");
        mail.Pointer(3, "The receipt is attached.");
        mail.Pointer(4, attachment.Data());
        mail.Number(5, 1);
        mail.Pointer(6, "Kiosk 7");
        mail.Pointer(7, "alarm");
        SetLastError(1234);
        EXPECT_EQ(c.stored, send(mail.Data())) << "Size " << c.size;
        EXPECT_EQ(c.error, GetLastError()) << "Size " << c.size;
        if (!c.stored) {
            EXPECT_TRUE(ListDir(outbox).empty()) << "Size " << c.size;
            continue;
        }
        std::string message = TakeMessage();
        for (const char* part : {"From: Kiosk 7\r\n", "\r\nTo: operator@pennark.example\r\n",
                                 "\r\nSubject: Daily receipt\r\n", "\r\nX-Class: alarm\r\n",
                                 "\r\n\r\nThe receipt is attached.\r\n", "\tfilename=\"receipt.txt\"\r\n",
                                 "Content-Type: text/plain;\r\n", "\r\ncmVjZWlwdCAwMDA0MTc=\r\n"})
            EXPECT_NE(std::string::npos, message.find(part)) << "Size " << c.size << ": " << part << " in\n"
                                                             << Printable(message);
    }
}

TEST_F(PostvaneDll, FailureInTheLibraryReturnsFalseWithTheLastError) {
    SendMailFn send = Entry<SendMailFn>("SmtpSendMail");
    ASSERT_NE(nullptr, send);
    HMODULE owner = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCSTR>(send), &owner));
    ASSERT_EQ(module, owner) << "the submission runs in the library, not in this program";

    // A file where the outbox's parent should be: the message file cannot be created.
    WriteFileBytes(dir / "blocker", "not a directory");
    SetRegText(kMailKey, "OutboxDir", dir / "blocker\\Outbox");
    SmtpMail mail = {};
    mail.Size = sizeof mail;
    mail.Subject = "unwritable";
    SetLastError(0);
    BOOL result = TRUE;
    EXPECT_NO_THROW(result = send(&mail)) << "nothing crosses the export";
    EXPECT_FALSE(result);
    EXPECT_NE(0u, GetLastError()) << "the last error tells why";
    // The library still works afterwards.
    SetRegText(kMailKey, "OutboxDir", outbox);
    EXPECT_TRUE(send(&mail));
    EXPECT_NE(std::string::npos, TakeMessage().find("\r\nSubject: unwritable\r\n"));
}

#include "SmtpPeer.h"
#include "Sockets.h"
#include <ws2tcpip.h>
#include <cstdlib>
#include "qlbase.h"

namespace smtppeer {

namespace {

const DWORD kStartWait = 30000;  // python and aiosmtpd start in well under a second; CI may be slow
const char kPython[] = "/usr/bin/python3";



std::string Decode(const std::string& field) {
    if (field == "-" || field == "=") return std::string();
    vec<unsigned char> bytes;
    if (!Base64Decode(&bytes, field.c_str())) return std::string();
    return std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Count());
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

SOCKET LaunchHostScript(const std::string& arguments, std::string* error) {
    return LaunchPeerScript(HostPeerScript(), arguments, error);
}

}  // namespace

// The DOS form of a Unix path under Wine (Z:\usr\bin\python3); Wine starts a Unix program
// given that way as a process of its own.
std::string DosPath(const char* unixPath) {
    typedef WCHAR*(CDECL * ToDos)(LPCSTR);
    HMODULE kernel = GetModuleHandleA("kernel32");
    FARPROC entry = kernel ? GetProcAddress(kernel, "wine_get_dos_file_name") : nullptr;
    ToDos toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(entry));
    if (toDos) {
        if (WCHAR* wide = toDos(unixPath)) {
            char narrow[MAX_PATH * 2];
            int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
            HeapFree(GetProcessHeap(), 0, wide);
            if (n > 0) return narrow;
        }
    }
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

const char* HostPeerScript() { return SMTPPEER_HOST_SCRIPT; }

std::string PeerScript(const char* name) {
    std::string script = HostPeerScript();
    size_t slash = script.rfind('/');
    return script.substr(0, slash == std::string::npos ? 0 : slash + 1) + name;
}

SOCKET LaunchPeerScript(const std::string& script, const std::string& arguments, std::string* error) {
    static WinsockUser winsock;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error = "cannot listen for the control connection";
        closesocket(listener);
        return INVALID_SOCKET;
    }
    std::string command = Quoted(DosPath(kPython)) + " " + Quoted(script) + " --control " +
                          std::to_string(ntohs(address.sin_port)) + " " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        *error = "cannot start " + command + ": error " + std::to_string(GetLastError());
        closesocket(listener);
        return INVALID_SOCKET;
    }
    // Wine hands out no handles for a Unix process; the control connection stands in.
    if (process.hThread) CloseHandle(process.hThread);
    if (process.hProcess) CloseHandle(process.hProcess);

    SOCKET control = INVALID_SOCKET;
    if (Readable(listener, kStartWait)) control = accept(listener, nullptr, nullptr);
    closesocket(listener);
    if (control == INVALID_SOCKET) *error = "the peer did not connect back: " + command;
    return control;
}

std::string UnixPath(const std::string& windowsPath) {
    typedef char*(CDECL * ToUnix)(LPCWSTR);
    HMODULE kernel = GetModuleHandleA("kernel32");
    FARPROC entry = kernel ? GetProcAddress(kernel, "wine_get_unix_file_name") : nullptr;
    ToUnix toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(entry));
    std::wstring wide(windowsPath.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, &wide[0], int(wide.size()));
    if (!toUnix || n <= 0) return windowsPath;
    char* unix = toUnix(wide.c_str());
    if (!unix) return windowsPath;
    std::string path(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return path;
}

std::string MakeTestCertificates(const std::string& dir) {
    std::string error;
    SOCKET control = LaunchHostScript("--certs " + Quoted(UnixPath(dir)) + " certs", &error);
    if (control == INVALID_SOCKET) return error;
    std::string answer;
    DWORD start = GetTickCount();
    while (answer.find('\n') == std::string::npos && GetTickCount() - start < kStartWait) {
        if (!Readable(control, 100)) continue;
        char buffer[1024];
        int n = recv(control, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, size_t(n));
    }
    closesocket(control);
    answer = answer.substr(0, answer.find('\n'));
    return answer == "DONE" ? std::string() : "the certificates were not made: " + answer;
}

HostPeer::HostPeer(const Options& options) : control_(INVALID_SOCKET), port_(0) {
    std::string arguments;
    if (!options.login.empty()) arguments += " --login " + Quoted(options.login);
    if (!options.password.empty()) arguments += " --password " + Quoted(options.password);
    if (options.usualLogin) arguments += " --usual-login";
    if (options.authRequired) arguments += " --auth-required";
    if (options.noPlain) arguments += " --no-plain";
    if (!options.tls.empty()) arguments += " --tls " + options.tls;
    if (!options.certificates.empty()) arguments += " --certs " + Quoted(UnixPath(options.certificates));
    if (!options.certificate.empty()) arguments += " --cert " + options.certificate;
    if (options.requireTls) arguments += " --require-tls";
    if (options.sizeLimit) arguments += " --size-limit " + std::to_string(options.sizeLimit);
    if (options.no8BitMime) arguments += " --no-8bitmime";
    if (options.noSize) arguments += " --no-size";
    if (options.plain) arguments += " --plain";
    for (const std::string& address : options.refuse) arguments += " --refuse " + Quoted(address);
    for (const std::string& address : options.deferOnce) arguments += " --defer-once " + Quoted(address);
    control_ = LaunchHostScript(arguments + " " + options.server, &error_);
    if (control_ == INVALID_SOCKET) return;
    std::string first;
    if (!ReadLine(&first, kStartWait) || first.compare(0, 5, "PORT ") != 0) {
        error_ = "the peer did not report its port: " + first;
        return;
    }
    port_ = static_cast<unsigned short>(std::atoi(first.c_str() + 5));
    collector_ = std::thread(&HostPeer::Collect, this);
}

HostPeer::~HostPeer() {
    stop_ = true;
    if (collector_.joinable()) collector_.join();
    // The peer ends, with its server, when the control connection closes.
    if (control_ != INVALID_SOCKET) closesocket(control_);
}

void HostPeer::Collect() {
    while (!stop_ && !closed_) {
        std::string line;
        if (!ReadLine(&line, 50)) continue;
        if (line.compare(0, 4, "MSG ") != 0) continue;
        std::vector<std::string> fields;
        size_t pos = 4;
        while (pos <= line.size()) {
            size_t blank = line.find(' ', pos);
            if (blank == std::string::npos) blank = line.size();
            fields.push_back(line.substr(pos, blank - pos));
            pos = blank + 1;
        }
        if (fields.size() != 5) continue;
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back({Decode(fields[0]), Decode(fields[1]), Decode(fields[2]), Decode(fields[3]),
                             Decode(fields[4])});
    }
}

bool HostPeer::ReadLine(std::string* line, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            *line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms || !Readable(control_, ms - elapsed)) return false;
        char buffer[65536];
        int n = recv(control_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        pending_.append(buffer, size_t(n));
    }
}

std::vector<DeliveredMessage> HostPeer::Messages(size_t count, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (messages_.size() >= count || GetTickCount() - start >= ms) return messages_;
        }
        Sleep(10);
    }
}

}  // namespace smtppeer

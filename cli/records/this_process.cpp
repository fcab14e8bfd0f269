#include "cli/records/this_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace lumo::cli::records {

#ifdef _WIN32

namespace {

std::string Utf8(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

// The process's creation time, in 100 ns units since 1601, as text; empty when unknown.
std::string CreationToken(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return {};
    const std::uint64_t ticks =
        (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
    return std::to_string(ticks);
}

}  // namespace

std::string HostName() {
    wchar_t name[256];
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "unknown";
    return Utf8(name, static_cast<int>(size));
}

ProcessMark ThisProcess() {
    return {GetCurrentProcessId(), CreationToken(GetCurrentProcess())};
}

bool StillRunning(const ProcessMark& mark) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(mark.pid));
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;  // someone else's: alive
    DWORD code = 0;
    const bool alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
                       (mark.start.empty() || CreationToken(process) == mark.start);
    CloseHandle(process);
    return alive;
}

std::string DefaultDataFolder() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (!local || !*local) return {};
    return Utf8(local, -1).c_str() + std::string("\\lumo-tool");
}

#else

namespace {

// The boot's ID and the process's start in clock ticks since boot: together they name one
// process for good. Empty when /proc does not have it (the process is gone).
std::string StartToken(std::uint64_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return {};
    // The command name is in parentheses and may hold spaces: fields are counted after it.
    const auto close = line.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(line.substr(close + 1));
    std::string field, state, start;
    fields >> state;  // field 3
    for (int i = 4; i <= 22 && fields >> field; ++i) start = field;
    if (state == "Z" || state == "X" || start.empty()) return {};  // a zombie has ended
    std::ifstream boot("/proc/sys/kernel/random/boot_id");
    std::string boot_id;
    std::getline(boot, boot_id);
    return boot_id + "/" + start;
}

}  // namespace

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !*name) return "unknown";
    return name;
}

ProcessMark ThisProcess() {
    const auto pid = static_cast<std::uint64_t>(getpid());
    return {pid, StartToken(pid)};
}

bool StillRunning(const ProcessMark& mark) {
    if (mark.pid == 0) return false;
    const std::string now = StartToken(mark.pid);
    if (now.empty()) return false;
    return mark.start.empty() || now == mark.start;
}

std::string DefaultDataFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return std::string(data) + "/lumo-tool";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.local/share/lumo-tool";
    return {};
}

#endif

}  // namespace lumo::cli::records

// lumo-flash on Linux: one thread, one poll(2) loop over the udev monitor, a 10 ms timer fd and
// a signal fd for Ctrl-C and SIGTERM, feeding the portable run; a logind inhibitor lock against
// sleep and shutdown while an update is under way, and a lock file on the unit it updates.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/linux/records/open_records.h"
#include "cli/records/run_recorder.h"
#include "cli/linux/ucontext_strand.h"
#include "cli/notice_lines.h"
#include "cli/options.h"
#include "cli/platform_runs.h"
#include "cli/run_events.h"
#include "platform/linux/hidraw_access.h"
#include "platform/linux/logind_inhibitor.h"
#include "platform/linux/udev_monitor.h"
#include "platform/linux/unit_lock_file.h"

namespace {

using namespace lumo::cli;

class SteadyClock : public Clock {
  public:
    std::uint64_t NowMs() override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }
};

class SleepPause : public lumo::Pause {
  public:
    void Wait(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

// A file descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// The event loop of a run (one unit, --all or --station): Ctrl-C and SIGTERM arrive as readable
// data, never in the middle of a write; ticks every 10 ms; udev's arrivals and removals.
sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

bool BlockStopSignals() {
    const sigset_t signals = StopSignals();
    return pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0;
}

int Loop(RunEvents& run, lumo::linux_hid::UdevHidMonitor& monitor) {
    const sigset_t signals = StopSignals();
    if (!BlockStopSignals()) return kExitFailed;
    Fd signal_fd{signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC)};
    Fd timer_fd{timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)};
    if (signal_fd.fd < 0 || timer_fd.fd < 0) {
        std::perror("lumo-flash: cannot set up its event loop");
        return kExitFailed;
    }
    constexpr long kTickNs = lumo::UPDATE_TIMER_PERIOD_MS * 1000000L;
    const itimerspec period{{0, kTickNs}, {0, kTickNs}};

    run.Begin();
    timerfd_settime(timer_fd.fd, 0, &period, nullptr);

    while (!run.exit_code()) {
        pollfd fds[3] = {{signal_fd.fd, POLLIN, 0}, {timer_fd.fd, POLLIN, 0},
                         {monitor.fd(), POLLIN, 0}};
        const nfds_t count = monitor.fd() >= 0 ? 3 : 2;
        if (poll(fds, count, 1000) < 0) {
            if (errno == EINTR) continue;
            std::perror("lumo-flash: poll");
            return kExitFailed;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            while (read(signal_fd.fd, &info, sizeof info) == sizeof info) run.OnInterrupt();
        }
        if (count == 3 && (fds[2].revents & POLLIN)) {
            while (const auto event = monitor.NextEvent()) run.OnDeviceChange(*event);
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t expirations = 0;
            // Missed periods count as one tick, as a window's timer coalesces them.
            if (read(timer_fd.fd, &expirations, sizeof expirations) == sizeof expirations)
                run.OnTick();
        }
    }
    return *run.exit_code();
}

// The loop around one run: udev's events, the 10 ms timer, the signals; sleep and shutdown
// held off through logind from the first update's start to the last one's end.
int RunInLoop(const RunMaker& make, std::ostream& notices) {
    // The monitor exists before the first search, so a device plugged in meanwhile is seen.
    lumo::linux_hid::UdevHidMonitor monitor;
    SteadyClock clock;
    SleepPause pause;
    lumo::linux_power::LogindInhibitor inhibitor("lumo-flash", notices);
    const std::unique_ptr<RunEvents> run = make(clock, pause, inhibitor);
    return Loop(*run, monitor);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    auto parsed = ParseOptions(argc, argv, std::cout, std::cerr);
    if (const int* code = std::get_if<int>(&parsed)) return *code;
    const Options& options = std::get<Options>(parsed);

    if (options.version) {
        PrintVersion(std::cout, options.json);
        return kExitSuccess;
    }
    if (options.records) {
        namespace records = lumo::cli::records;
        return records::RunRecordsCommand(*options.records, options.records_target,
                                          records::LinuxRecordsPlatform(), std::cout, std::cerr);
    }
    const OutputMode mode = options.json       ? OutputMode::kJson
                            : isatty(STDOUT_FILENO) ? OutputMode::kTerminal
                                                    : OutputMode::kLines;
    ConsoleReport report(std::cout, std::cerr, mode);
    // Every line for the person at the console, also from the platform's parts.
    NoticeLines notice_lines(std::cerr);
    std::ostream notices(&notice_lines);
    lumo::linux_hid::HidrawAccess hid(notices, LUMO_UDEV_RULE_FILE, "lumo-flash");
    // One writer per unit, also against another lumo-flash and the dialog: a lock file per
    // unit. Each unit of --all and --station on a stack of its own.
    RunPlatform platform{
        [&notices](const RunMaker& make) { return RunInLoop(make, notices); },
        [&notices] {
            return std::make_unique<lumo::linux_hid::LockFileClaims>(notices, "lumo-flash");
        },
        [](Clock& clock, lumo::Pause& pause) {
            return std::make_unique<UcontextStrand>(clock, pause);
        },
        std::cout, notices,
        ChooseOutputForm(FactsFromEnvironment(isatty(STDOUT_FILENO) != 0, options.json))};
    platform.notices = &notice_lines;
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        platform.columns = size.ws_col;
        platform.rows = size.ws_row;
    }
    // Every update attempt is kept (records), opened before anything is written to a device.
    namespace records = lumo::cli::records;
    std::unique_ptr<records::RecordSink> sink;
    std::optional<records::RunRecorder> recorder;
    if (!options.list) {
        // Ctrl-C and SIGTERM are read by the loop, never taken by a thread: blocked before the
        // records' writer thread starts, which inherits the mask.
        BlockStopSignals();
        records::OpenedRecords opened = records::OpenRecords(options.records_target);
        if (!opened.error.empty()) {
            std::cerr << opened.error << std::endl;
            return kExitUsage;
        }
        if (!opened.warning.empty()) notices << opened.warning << std::endl;
        sink = records::SinkFor(std::move(opened.store));
        recorder.emplace(*sink, options.station_name);
        platform.recorder = &*recorder;
    }
    return RunCommand(options, hid, report, platform);
}

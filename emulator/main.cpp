// orvel-emulator: runs a command inside a umockdev testbed that presents an emulated
// Orvel-M8 in update mode, plays a scenario, and judges what the command sent to it.
// See README.md in this folder for the contract.
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <umockdev.h>

#include "emulator/emulated_bus.h"

namespace {

using lumo::emulator::Outcome;

constexpr int kExitOk = 0;
constexpr int kExitWrongOutcome = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCommandFailed = 3;
constexpr int kExitTimeLimit = 4;

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kUdevDbPreload = "liborvel-udev-db.so";

void Usage(std::FILE* to) {
    std::fprintf(to,
        "usage: orvel-emulator [options] [SCENARIO-FILE] -- COMMAND [ARGS...]\n"
        "  --product c3d1|7b16   product of the emulated device (default c3d1)\n"
        "  --scenario TEXT       scenario statements, separated by ';' (after the file's)\n"
        "  --expect OUTCOME      delivered (default), no-update, interrupted, failed\n"
        "  --transcript FILE     where the transcript goes (default emulator-transcript.txt)\n"
        "  --timeout SECONDS     time limit for COMMAND (default 120)\n"
        "  --image FILE          the image devices of --product expect (default: built-in)\n"
        "  --progress FILE       a line there as each unit of a stream leaves\n"
        "  --verbose             device events on stderr\n"
        "exit status: 0 outcome as expected and COMMAND exited 0; 1 other outcome;\n"
        "             2 usage or testbed error; 3 COMMAND failed; 4 time limit reached\n");
}

struct Options {
    std::uint16_t product = lumo::emulator::kPrimaryProduct;
    std::string scenario_file;
    std::string scenario_text;
    Outcome expect = Outcome::Delivered;
    std::string transcript = "emulator-transcript.txt";
    unsigned timeout_s = 120;
    bool verbose = false;
    std::string image_file;
    std::string progress_file;
    std::vector<std::string> command;
};

bool ParseArgs(int argc, char** argv, Options& o) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (a == "--product") {
            if (!value(v)) return false;
            if (v == "c3d1" || v == "C3D1") o.product = lumo::emulator::kPrimaryProduct;
            else if (v == "7b16" || v == "7B16") o.product = lumo::emulator::kVariantProduct;
            else return false;
        } else if (a == "--scenario") {
            if (!value(v)) return false;
            o.scenario_text += v + "\n";
        } else if (a == "--expect") {
            if (!value(v)) return false;
            auto e = lumo::emulator::ParseOutcome(v);
            if (!e) return false;
            o.expect = *e;
        } else if (a == "--transcript") {
            if (!value(o.transcript)) return false;
        } else if (a == "--timeout") {
            if (!value(v)) return false;
            char* end = nullptr;
            const unsigned long s = std::strtoul(v.c_str(), &end, 10);
            if (!end || *end || s == 0 || s > 24 * 3600) return false;
            o.timeout_s = static_cast<unsigned>(s);
        } else if (a == "--image") {
            if (!value(o.image_file)) return false;
        } else if (a == "--progress") {
            if (!value(o.progress_file)) return false;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (!a.empty() && a[0] != '-' && o.scenario_file.empty()) {
            o.scenario_file = a;
        } else {
            return false;
        }
    }
    for (; i < argc; ++i) o.command.emplace_back(argv[i]);
    return !o.command.empty();
}

// The udev database library (udev_db_preload.cpp), built beside this program.
std::string UdevDbPreload() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / kUdevDbPreload).string();
}

// The testbed only works in a process that runs under umockdev's preload library, and the
// programs under test see udev's database only with ours in front of it (see there why).
void EnsurePreload(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload && std::strstr(preload, "libumockdev-preload") &&
        std::strstr(preload, kUdevDbPreload))
        return;
    if (std::getenv("ORVEL_EMULATOR_REEXEC")) {
        std::fprintf(stderr, "emulator: %s or %s could not be preloaded\n", kPreload,
                     kUdevDbPreload);
        std::exit(kExitUsage);
    }
    std::string value = UdevDbPreload() + ":" + kPreload;
    if (preload && *preload) value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    setenv("ORVEL_EMULATOR_REEXEC", "1", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "emulator: cannot re-run itself: %s\n", std::strerror(errno));
    std::exit(kExitUsage);
}

struct Run {
    GMainLoop* loop = nullptr;
    pid_t child = -1;
    bool exited = false;
    int wait_status = 0;
    bool timed_out = false;
    bool interrupted = false;
};

void KillGroup(pid_t pgid, int sig) {
    if (pgid > 0) kill(-pgid, sig);
}

// Asks the command's process group to end, forces it `grace_s` seconds later, and gives up
// waiting 5 s after that: even a child that cannot be reaped does not hold the emulator.
void EndCommand(Run* run, guint grace_s) {
    KillGroup(run->child, SIGTERM);
    g_timeout_add_seconds(grace_s, [](gpointer data) -> gboolean {
        auto* r = static_cast<Run*>(data);
        KillGroup(r->child, SIGKILL);
        g_timeout_add_seconds(5, [](gpointer d) -> gboolean {
            g_main_loop_quit(static_cast<Run*>(d)->loop);
            return G_SOURCE_REMOVE;
        }, r);
        return G_SOURCE_REMOVE;
    }, run);
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, opt)) {
        Usage(stderr);
        return kExitUsage;
    }

    lumo::emulator::Scenario scenario;
    std::string error;
    if (!opt.scenario_file.empty()) {
        std::ifstream in(opt.scenario_file);
        if (!in) {
            std::fprintf(stderr, "emulator: cannot read %s\n", opt.scenario_file.c_str());
            return kExitUsage;
        }
        std::stringstream text;
        text << in.rdbuf();
        if (!lumo::emulator::ParseScenario(text.str(), scenario, error)) {
            std::fprintf(stderr, "emulator: %s: %s\n", opt.scenario_file.c_str(), error.c_str());
            return kExitUsage;
        }
    }
    if (!lumo::emulator::ParseScenario(opt.scenario_text, scenario, error)) {
        std::fprintf(stderr, "emulator: --scenario: %s\n", error.c_str());
        return kExitUsage;
    }
    if (const std::string conflict = lumo::emulator::CheckScenario(scenario); !conflict.empty()) {
        std::fprintf(stderr, "emulator: %s\n", conflict.c_str());
        return kExitUsage;
    }
    std::vector<std::uint8_t> image;
    if (!opt.image_file.empty()) {
        std::ifstream in(opt.image_file, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in || image.empty()) {
            std::fprintf(stderr, "emulator: cannot read %s, or it is empty\n",
                         opt.image_file.c_str());
            return kExitUsage;
        }
    }

    EnsurePreload(argv);
    unsetenv("ORVEL_EMULATOR_REEXEC");

    std::FILE* transcript = std::fopen(opt.transcript.c_str(), "w");
    if (!transcript) {
        std::fprintf(stderr, "emulator: cannot write %s: %s\n", opt.transcript.c_str(),
                     std::strerror(errno));
        return kExitUsage;
    }
    std::fprintf(transcript, "# time_ms device node kind block status detail\n");
    std::FILE* progress = nullptr;
    if (!opt.progress_file.empty() && !(progress = std::fopen(opt.progress_file.c_str(), "w"))) {
        std::fprintf(stderr, "emulator: cannot write %s: %s\n", opt.progress_file.c_str(),
                     std::strerror(errno));
        return kExitUsage;
    }

    UMockdevTestbed* testbed = umockdev_testbed_new();
    int status = kExitUsage;
    {
        const std::string image_name =
            std::filesystem::path(opt.image_file).filename().string();
        lumo::emulator::EmulatedBus bus(
            testbed, {opt.product, transcript, opt.verbose, image, image_name, progress},
            scenario);
        bus.PlugInitial();
        if (const std::string e = bus.TestbedError(); !e.empty()) {
            std::fprintf(stderr, "emulator: testbed error: %s\n", e.c_str());
            return kExitUsage;
        }

        Run run;
        run.loop = g_main_loop_new(nullptr, FALSE);
        std::fflush(stdout);
        std::fflush(stderr);
        const auto start = std::chrono::steady_clock::now();
        run.child = fork();
        if (run.child < 0) {
            std::fprintf(stderr, "emulator: fork failed: %s\n", std::strerror(errno));
            return kExitUsage;
        }
        if (run.child == 0) {
            setpgid(0, 0);
            std::vector<char*> args;
            for (auto& a : opt.command) args.push_back(a.data());
            args.push_back(nullptr);
            execvp(args[0], args.data());
            std::fprintf(stderr, "emulator: cannot run %s: %s\n", args[0], std::strerror(errno));
            _exit(127);
        }
        setpgid(run.child, run.child);
        bus.StartClock(start);

        g_child_watch_add(run.child, [](GPid, gint st, gpointer data) {
            auto* r = static_cast<Run*>(data);
            r->exited = true;
            r->wait_status = st;
            g_main_loop_quit(r->loop);
        }, &run);
        // At the time limit: ask the command's process group to end, then force it.
        g_timeout_add_seconds(opt.timeout_s, [](gpointer data) -> gboolean {
            auto* r = static_cast<Run*>(data);
            r->timed_out = true;
            std::fprintf(stderr, "emulator: time limit reached, ending the command\n");
            EndCommand(r, 3);
            return G_SOURCE_REMOVE;
        }, &run);
        auto on_signal = [](gpointer data) -> gboolean {
            auto* r = static_cast<Run*>(data);
            r->interrupted = true;
            EndCommand(r, 2);
            return G_SOURCE_CONTINUE;
        };
        g_unix_signal_add(SIGTERM, on_signal, &run);
        g_unix_signal_add(SIGINT, on_signal, &run);

        g_main_loop_run(run.loop);
        // Whatever the command left running in its group (a wineserver, say) ends with it.
        KillGroup(run.child, SIGKILL);

        const lumo::emulator::Verdict verdict = bus.Conclude();
        const auto units = bus.ConcludeUnits();
        bus.UnplugAll();

        // Each further unit's verdict first; the last line stays the verdict of device 1.
        bool units_as_expected = true;
        for (const auto& u : units) {
            std::fprintf(transcript, "# unit %s verdict: %s\n", u.name.c_str(),
                         u.verdict.text.c_str());
            std::printf("emulator unit %s verdict: %s\n", u.name.c_str(), u.verdict.text.c_str());
            if (u.verdict.outcome == u.expected) continue;
            units_as_expected = false;
            std::printf("emulator: expected outcome %s for unit %s, got %s\n",
                        lumo::emulator::OutcomeName(u.expected), u.name.c_str(),
                        lumo::emulator::OutcomeName(u.verdict.outcome));
        }
        std::fprintf(transcript, "# verdict: %s\n", verdict.text.c_str());
        std::fclose(transcript);
        if (progress) std::fclose(progress);

        std::printf("emulator verdict: %s\n", verdict.text.c_str());
        const bool as_expected = verdict.outcome == opt.expect && units_as_expected;
        if (verdict.outcome != opt.expect)
            std::printf("emulator: expected outcome %s, got %s\n",
                        lumo::emulator::OutcomeName(opt.expect),
                        lumo::emulator::OutcomeName(verdict.outcome));
        std::string command_result;
        if (run.timed_out) {
            command_result = "killed at the time limit of " + std::to_string(opt.timeout_s) + " s";
        } else if (WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) != 0) {
            command_result = "exited with status " + std::to_string(WEXITSTATUS(run.wait_status));
        } else if (WIFSIGNALED(run.wait_status)) {
            command_result = std::string("ended by signal ") + strsignal(WTERMSIG(run.wait_status));
        }
        if (!command_result.empty()) std::printf("emulator: command %s\n", command_result.c_str());
        const std::string testbed_error = bus.TestbedError();
        if (!testbed_error.empty())
            std::printf("emulator: testbed error: %s\n", testbed_error.c_str());
        std::fflush(stdout);

        if (!testbed_error.empty()) status = kExitUsage;
        else if (run.timed_out || run.interrupted) status = kExitTimeLimit;
        else if (!as_expected) status = kExitWrongOutcome;
        else if (!command_result.empty()) status = kExitCommandFailed;
        else status = kExitOk;
        g_main_loop_unref(run.loop);
    }
    g_object_unref(testbed);
    return status;
}

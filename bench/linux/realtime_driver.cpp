// The Linux program as the real-time benchmark runs it: the real dialog, backend and 10 ms
// timer on whatever Qt platform is set, with one measurement per run.
//   realtime_driver startup   time to the window shown; prints its wall-clock time
//   realtime_driver update    presses Update once the window shows and runs the update to
//                             the success box; prints its duration and CPU time
// Both print the process's peak resident memory. Output: one "key=value" per line.
#include <time.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "platform/linux/hidraw_access.h"
#include "ports/forwarding_hid.h"
#include "platform/linux/udev_monitor.h"
#include "ui/dialog_template.h"
#include "ui/qt/lumo_tool_dialog.h"

namespace {

long long Now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Times every report write as the program issues it, to tell the program's own tick jitter
// from what the device side sees.
class TimedHid : public lumo::ForwardingHid {
  public:
    explicit TimedHid(lumo::HidAccess& inner) : ForwardingHid(inner) {}
    std::vector<long long> writes;

    bool WriteReport(lumo::HidHandle h, const lumo::UpdateReport& r) override {
        writes.push_back(Now(CLOCK_MONOTONIC));
        return hid_.WriteReport(h, r);
    }
};

// Median and 99th percentile of the intervals between data reports (the start report first
// and the finish report last are left out).
void PrintTickIntervals(const std::vector<long long>& writes) {
    if (writes.size() < 4) return;
    std::vector<double> ms;
    for (std::size_t i = 2; i + 1 < writes.size(); ++i)
        ms.push_back((writes[i] - writes[i - 1]) / 1e6);
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double p) {
        const auto k = static_cast<std::size_t>(std::ceil(p * ms.size())) - 1;
        return ms[std::min(k, ms.size() - 1)];
    };
    std::printf("program_tick_median_ms=%.3f\nprogram_tick_p99_ms=%.3f\nprogram_tick_max_ms=%.3f\n",
                at(0.5), at(0.99), ms.back());
}

// VmHWM, this program's own peak: getrusage's maximum keeps the peak of the process image it
// was forked from as well.
void PrintPeakMemory() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(status);
    std::printf("peak_rss_kib=%ld\n", kib);
}

}  // namespace

int main(int argc, char** argv) {
    const bool update = argc > 1 && std::strcmp(argv[1], "update") == 0;
    QApplication app(argc, argv);

    lumo::linux_hid::HidrawAccess real_hid(std::cerr, "70-orvel-m8.rules");
    TimedHid hid(real_hid);
    lumo::linux_hid::UdevHidMonitor monitor;
    long long click_wall = 0, click_cpu = 0;
    int exit_code = 1;
    lumo::qt::LumoToolDialog dialog(
        hid, &monitor, lumo::qt::ExecutableBaseName(), [&](QMessageBox& box) {
            const long long wall = Now(CLOCK_MONOTONIC), cpu = Now(CLOCK_PROCESS_CPUTIME_ID);
            const bool success = box.icon() == QMessageBox::NoIcon;
            std::printf("outcome=%s\n", success ? "success" : "failure");
            std::printf("update_ms=%.3f\n", (wall - click_wall) / 1e6);
            std::printf("update_cpu_ms=%.3f\n", (cpu - click_cpu) / 1e6);
            PrintTickIntervals(hid.writes);
            exit_code = success ? 0 : 1;
            QTimer::singleShot(0, &app, &QApplication::quit);
            return static_cast<int>(QMessageBox::Ok);
        },
        // What is measured is the stream, not the stand-in question of a test build.
        lumo::UpdateOptions{.stand_ins = false});
    dialog.Initialize();
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog, 10000)) return 2;
    std::printf("shown_realtime_ns=%lld\n", Now(CLOCK_REALTIME));
    if (!update) {
        PrintPeakMemory();
        return 0;
    }
    QTimer::singleShot(0, &dialog, [&] {
        click_wall = Now(CLOCK_MONOTONIC);
        click_cpu = Now(CLOCK_PROCESS_CPUTIME_ID);
        qobject_cast<QPushButton*>(dialog.Control(lumo::dialog::IDC_UPDATE))->click();
    });
    app.exec();
    PrintPeakMemory();
    return exit_code;
}

// The Linux program end to end: the real dialog, libudev and hidraw code and the real 10 ms
// timer, on the offscreen platform, against the emulated Orvel-M8. Each function is one
// scenario and runs on its own under the emulator (see CMakeLists.txt), which judges what the
// device received; this side checks what the window showed.
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/firmware_provenance.h"
#include "platform/linux/hidraw_access.h"
#include "platform/linux/logind_inhibitor.h"
#include "platform/linux/udev_monitor.h"
#include "platform/linux/unit_lock_file.h"
#include "ports/forwarding_hid.h"
#include "ports/status_texts.h"
#include "tests/linux/box_answerer.h"
#include "tests/linux/mock_logind.h"
#include "ui/dialog_template.h"
#include "ui/label_colors.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/lumo_tool_dialog.h"

using lumo::testing::BoxAnswerer;

namespace {

// What the emulator's transcript says the device got since `pos` (its lines are written and
// flushed as the reports arrive): finish reports it found right, and reports that broke the
// protocol.
struct DeviceSaw {
    int finished = 0;
    int starts = 0;
    std::string bad;   // the first line with status "bad"
    std::string last;  // the last line read
};

DeviceSaw ReadTranscript(const std::string& path, std::streamoff& pos) {
    DeviceSaw saw;
    std::ifstream in(path);
    in.seekg(pos);
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break;  // a line still being written: read it next time
        pos = in.tellg();
        saw.last = line;
        std::istringstream words(line);
        std::string time, device, node, kind, block, status;
        words >> time >> device >> node >> kind >> block >> status;
        if (kind == "finish" && status == "ok") ++saw.finished;
        if (kind == "start" && status == "ok") ++saw.starts;
        if (status == "bad" && saw.bad.empty()) saw.bad = line;
    }
    return saw;
}

// Inodes of the Unix-domain sockets in this network namespace.
std::set<std::string> UnixSocketInodes() {
    std::set<std::string> inodes;
    std::ifstream in("/proc/net/unix");
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        for (int i = 0; i < 7 && words >> word; ++i) {
        }
        if (words) inodes.insert("socket:[" + word + "]");
    }
    return inodes;
}

// Open descriptors, not counting Unix-domain sockets: under the emulator those are
// umockdev's, one ioctl channel for each emulated node opened, which its preload library
// keeps when the node is closed after its device was removed. The tool itself opens none: its
// udev monitor is a netlink socket on a real system.
struct Descriptors {
    long own = 0;
    long unix_sockets = 0;
};

Descriptors OpenDescriptors() {
    const std::set<std::string> unix_sockets = UnixSocketInodes();
    Descriptors d;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        if (unix_sockets.contains(target)) {
            ++d.unix_sockets;
        } else {
            ++d.own;
        }
    }
    return d;
}

// Where each open descriptor leads, for a message when their number changed.
std::string DescriptorList() {
    std::string out;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(e.path(), ec);
        out += e.path().filename().string() + "->" + (ec ? "?" : target.string()) + " ";
    }
    return out;
}

long ResidentKiB() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        in.ignore(1 << 12, '\n');
    }
    return -1;
}

// The backend as the program uses it, passing every call on; it times each report's write.
class TimedWrites : public lumo::ForwardingHid {
  public:
    using Clock = std::chrono::steady_clock;

    explicit TimedWrites(lumo::HidAccess& inner) : ForwardingHid(inner) {}

    bool WriteReport(lumo::HidHandle h, const lumo::UpdateReport& report) override {
        const auto start = Clock::now();
        const bool written = hid_.WriteReport(h, report);
        if (!written && !first_failure) first_failure = {start, Clock::now() - start};
        return written;
    }

    struct Failure {
        Clock::time_point start;
        Clock::duration took;  // from the write's start to its failure
    };
    std::optional<Failure> first_failure;
};

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : fallback;
}

}  // namespace

using lumo::testing::FromColorRef;
using lumo::testing::HeldLocks;
using lumo::testing::InhibitCall;
using lumo::testing::InhibitCalls;
using lumo::testing::Q;
namespace dlg = lumo::dialog;
namespace text = lumo::text;

class EndToEnd : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<lumo::linux_hid::HidrawAccess> hid;
    std::unique_ptr<TimedWrites> timed;  // the dialog's way to the backend
    std::unique_ptr<lumo::linux_hid::UdevHidMonitor> monitor;
    // As the program makes it: named after the executable, its one line to standard error.
    std::unique_ptr<lumo::linux_power::LogindInhibitor> inhibitor;
    std::unique_ptr<lumo::qt::LumoToolDialog> dialog;
    // One writer per unit, as the program claims its unit (in LUMO_LOCK_DIR, set by the test).
    std::unique_ptr<lumo::linux_hid::LockFileClaims> claims;
    BoxAnswerer boxes;
    bool stand_ins = lumo::g_firmwareProvenance.HasStandIns();  // this build's images

    // The dialog as the program makes it; a test of the stand-in guard may ask for the guard
    // in a build with other images too.
    void Start(bool hold_off_sleep = false, lumo::UpdateOptions options = {}) {
        stand_ins = options.stand_ins;
        hid = std::make_unique<lumo::linux_hid::HidrawAccess>(std::cerr, "70-orvel-m8.rules");
        timed = std::make_unique<TimedWrites>(*hid);
        monitor = std::make_unique<lumo::linux_hid::UdevHidMonitor>();
        QVERIFY(monitor->fd() >= 0);
        if (hold_off_sleep)
            inhibitor = std::make_unique<lumo::linux_power::LogindInhibitor>(
                lumo::qt::ExecutableBaseName().toStdString(), std::cerr);
        if (hold_off_sleep) options.lifetime = inhibitor.get();
        dialog = std::make_unique<lumo::qt::LumoToolDialog>(
            *timed, monitor.get(), lumo::qt::ExecutableBaseName(), boxes.Runner(), options);
        dialog->Initialize();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }

    QString Caption() {
        return qobject_cast<QGroupBox*>(dialog->Control(dlg::IDC_STATUS))->title();
    }
    QString Note() { return qobject_cast<QLabel*>(dialog->Control(dlg::IDC_NOTE))->text(); }
    QString Percent() { return qobject_cast<QLabel*>(dialog->Control(dlg::IDC_PERCENT))->text(); }
    int Progress() {
        return qobject_cast<QProgressBar*>(dialog->Control(dlg::IDC_PROGRESS))->value();
    }
    QPushButton* Update() { return qobject_cast<QPushButton*>(dialog->Control(dlg::IDC_UPDATE)); }

    // Pixels of exactly `color` in the caption strip of the group box, as drawn.
    int CaptionPixels(const QColor& color) {
        auto* box = dialog->Control(dlg::IDC_STATUS);
        const QImage image = box->grab().toImage();
        int count = 0;
        for (int y = 0; y < std::min(box->fontMetrics().height() + 2, image.height()); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (QColor(image.pixel(x, y)) == color) ++count;
        return count;
    }

    // The first press of a run: a build with stand-in images asks first (answered Yes).
    void ClickUpdateAndSeeTheStreamStart() {
        QVERIFY(Update()->isEnabled());
        const std::size_t asked = boxes.stand_in_questions.size();
        QTest::mouseClick(Update(), Qt::LeftButton);
        QCOMPARE(boxes.stand_in_questions.size() - asked, std::size_t{stand_ins ? 1u : 0u});
        QVERIFY(dialog->tool().IsUpdating());
        QCOMPARE(Note(), Q(text::kUpdating));
        QVERIFY(!Update()->isEnabled());
    }

    void SeeTheSuccessBox() {
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.seen.empty(), 60000);
        QCOMPARE(boxes.seen.size(), std::size_t{1});
        QCOMPARE(boxes.seen[0].icon, QMessageBox::NoIcon);
        QCOMPARE(boxes.seen[0].text, Q(text::kSuccess));
        QCOMPARE(boxes.seen[0].title, QString("lumo_e2e_tests"));
        QCOMPARE(boxes.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(Percent(), QString("100%"));
        QCOMPARE(Progress(), 100);
        QCOMPARE(Note(), Q(text::kBlankNote));
        QVERIFY(Update()->isEnabled());
        QVERIFY(!dialog->tool().IsUpdating());
    }

    // The dialog as the program makes it, with its claim on the unit it updates.
    void StartClaiming() {
        claims = std::make_unique<lumo::linux_hid::LockFileClaims>(
            std::cerr, lumo::qt::ExecutableBaseName().toStdString());
        Start(false, {.claims = claims.get()});
    }

    // lumo-flash (LUMO_FLASH names it) on the same emulated unit, with --json; standard error
    // is passed through.
    void StartLumoFlash(QProcess& flash, double wait_s) {
        const char* program = std::getenv("LUMO_FLASH");
        QVERIFY2(program, "LUMO_FLASH names lumo-flash");
        flash.setProcessChannelMode(QProcess::SeparateChannels);
        flash.start(QString::fromLocal8Bit(program),
                    {"--json", "--allow-stand-in", "--wait", QString::number(wait_s)});
        QVERIFY(flash.waitForStarted(10000));
    }

  private slots:
    void cleanup() {
        dialog.reset();
        claims.reset();
        inhibitor.reset();
        monitor.reset();
        timed.reset();
        hid.reset();
        boxes = {};
    }

    // Scenario: no device at the start, plugged in after 1.5 s.
    void startWithoutDeviceThenPlugIn() {
        Start();
        QCOMPARE(Caption(), Q(text::kDeviceDisconnected));
        QCOMPARE(Percent(), Q(text::kZeroPercent));
        QCOMPARE(Note(), QString());
        QCOMPARE(Progress(), 0);
        QVERIFY(CaptionPixels(FromColorRef(lumo::kDisconnectedColor)) > 10);

        QTRY_COMPARE_WITH_TIMEOUT(Caption(), Q(text::kDeviceConnected), 15000);
        QVERIFY(dialog->tool().IsConnected());
        QVERIFY(CaptionPixels(FromColorRef(lumo::kConnectedColor)) > 10);
        QCOMPARE(CaptionPixels(FromColorRef(lumo::kDisconnectedColor)), 0);
        QCOMPARE(Note(), Q(text::kBlankNote));
        QCOMPARE(Percent(), Q(text::kZeroPercent));

        // The frame can be resized; the controls stay where the template puts them.
        const lumo::qt::DialogBaseUnits u = dialog->base_units();
        dialog->resize(dialog->width() + 200, dialog->height() + 120);
        QTest::qWait(50);
        dialog->resize(120, 90);
        QTest::qWait(50);
        for (const auto& t : dlg::kControls)
            QCOMPARE(dialog->Control(t.id)->geometry(),
                     lumo::qt::MapDialogRect({t.x, t.y, t.cx, t.cy}, u));
        QVERIFY(boxes.seen.empty());
    }

    // Scenario: the 0x7B16 device present at the start; a whole update of the variant image.
    void wholeUpdateOfTheVariantImage() {
        Start();
        QCOMPARE(Caption(), Q(text::kDeviceConnected));
        ClickUpdateAndSeeTheStreamStart();
        SeeTheSuccessBox();
    }

    // Scenario: unplugged after block 300 and plugged back in 700 ms later as a new node.
    void unplugAndReplugMidUpdate() {
        Start();
        // Captions as set, with the percentage showing at that moment: a busy machine may
        // handle the removal only once the device is back, and both captions then come
        // from one handler.
        QStringList captions;
        QStringList percents;
        connect(dialog.get(), &lumo::qt::LumoToolDialog::statusCaptionSet, this,
                [&](const QString& c) {
                    captions << c;
                    percents << Percent();
                });
        ClickUpdateAndSeeTheStreamStart();
        QTRY_VERIFY_WITH_TIMEOUT(captions.size() >= 2, 30000);
        QCOMPARE(captions[0], Q(text::kDeviceDisconnected));
        QCOMPARE(captions[1], Q(text::kDeviceConnected));
        QVERIFY2(percents[0] != QString("0%"), qPrintable(percents[0]));  // it was under way
        QVERIFY(dialog->tool().IsUpdating());  // suspended and resumed, never given up
        SeeTheSuccessBox();
        QCOMPARE(captions.size(), 2);
    }

    // Scenario: the write of block 150 fails.
    void failedWriteShowsTheWarning() {
        Start();
        ClickUpdateAndSeeTheStreamStart();
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.seen.empty(), 30000);
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes.seen[0].text, Q(text::kTryAgain));
        QCOMPARE(boxes.seen[0].title, QString("lumo_e2e_tests"));
        QCOMPARE(Note(), Q(text::kInterrupted));
        QVERIFY(Update()->isEnabled());
        QVERIFY(!dialog->tool().IsUpdating());
        const QString percent = Percent();
        QTest::qWait(300);  // nothing more goes out
        QCOMPARE(Percent(), percent);
        QCOMPARE(boxes.seen.size(), std::size_t{1});
    }

    // Scenario: the device does not take block 150, and the kernel holds such a write for
    // 5 s before it fails. The window waits for it at most the write's bound; a press of
    // Update meanwhile fails as quickly, and once the kernel has let go a new update goes
    // through.
    void stalledWriteFailsWithinItsBound() {
        constexpr double kBounded = 3000;  // far from the kernel's 5000 ms
        Start();
        ClickUpdateAndSeeTheStreamStart();
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.seen.empty(), 30000);
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes.seen[0].text, Q(text::kTryAgain));
        QCOMPARE(Note(), Q(text::kInterrupted));
        QVERIFY(timed->first_failure);
        const double stalled = Ms(timed->first_failure->took);
        std::printf("stalled write: %.0f ms from its start to its failure (bound %u ms; the "
                    "kernel holds the write 5000 ms)\n",
                    stalled, lumo::HID_WRITE_TIMEOUT_MS);
        QVERIFY2(stalled < kBounded, qPrintable(QString::number(stalled)));

        const auto press = std::chrono::steady_clock::now();
        QTest::mouseClick(Update(), Qt::LeftButton);  // the stalled write is still in the kernel
        const double pressed = Ms(std::chrono::steady_clock::now() - press);
        std::printf("Update pressed while it was still in the kernel: %.0f ms to the warning\n",
                    pressed);
        QCOMPARE(boxes.seen.size(), std::size_t{2});
        QCOMPARE(boxes.seen[1].text, Q(text::kTryAgain));
        QVERIFY2(pressed < kBounded, qPrintable(QString::number(pressed)));

        QTest::qWait(static_cast<int>(
            5300 - Ms(std::chrono::steady_clock::now() - timed->first_failure->start)));
        boxes.seen.clear();
        QTest::mouseClick(Update(), Qt::LeftButton);  // a run asks about stand-ins only once
        QVERIFY(dialog->tool().IsUpdating());
        SeeTheSuccessBox();
    }

    // Scenario: the device present; the user tries to close during the update.
    void closeGuardDuringUpdate() {
        Start();
        ClickUpdateAndSeeTheStreamStart();
        QTRY_VERIFY_WITH_TIMEOUT(Progress() >= 5, 20000);

        boxes.answer = QMessageBox::No;
        boxes.open_ms = 300;  // the stream goes on while the question is open
        const int before = Progress();
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        QCOMPARE(boxes.seen.size(), std::size_t{1});
        QCOMPARE(boxes.seen[0].text, Q(text::kCloseWhileUpdating));
        QCOMPARE(boxes.seen[0].default_button, QMessageBox::No);
        QVERIFY(dialog->isVisible());
        QVERIFY(Progress() > before);

        boxes.answer = QMessageBox::Yes;
        boxes.open_ms = 0;
        dialog->close();
        QCOMPARE(boxes.seen.size(), std::size_t{2});
        QVERIFY(!dialog->isVisible());
        const QString percent = Percent();
        QTest::qWait(300);  // the closed dialog sends nothing more
        QCOMPARE(Percent(), percent);
    }

    // Scenario: the device present; a build with stand-in images. No to the guard sends
    // nothing and leaves the window as it was (the emulator sees no report at all).
    void standInGuardNoSendsNothing() {
        Start(false, {.stand_ins = true});
        QCOMPARE(dialog->windowTitle(), Q(dlg::kTitle) + Q(text::kStandInCaptionSuffix));
        boxes.stand_in_answer = QMessageBox::No;
        QTest::mouseClick(Update(), Qt::LeftButton);
        QCOMPARE(boxes.stand_in_questions.size(), std::size_t{1});
        QCOMPARE(boxes.stand_in_questions[0].default_button, QMessageBox::No);
        QTest::qWait(500);
        QVERIFY(!dialog->tool().IsUpdating());
        QVERIFY(Update()->isEnabled());
        QCOMPARE(Percent(), Q(text::kZeroPercent));
        QCOMPARE(Progress(), 0);
        QCOMPARE(Note(), QString());
        QVERIFY(boxes.seen.empty());
    }

    // Scenario: as above; No first, then Yes: the image streams byte for byte, and a second
    // update in the same run is not asked again.
    void standInGuardYesStreams() {
        Start(false, {.stand_ins = true});
        boxes.stand_in_answer = QMessageBox::No;
        QTest::mouseClick(Update(), Qt::LeftButton);
        QVERIFY(!dialog->tool().IsUpdating());
        boxes.stand_in_answer = QMessageBox::Yes;
        ClickUpdateAndSeeTheStreamStart();
        SeeTheSuccessBox();
        QCOMPARE(boxes.stand_in_questions.size(), std::size_t{2});
    }

    // Scenario: the 0x7B16 device present. lumo-flash updates it; the dialog, asked to update
    // the same unit meanwhile, writes nothing and says why; lumo-flash goes on to the end (the
    // emulator judges that the device got its update alone, byte for byte).
    void refusedWhileLumoFlashUpdates() {
        QProcess flash;
        StartLumoFlash(flash, 20);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += flash.readAllStandardOutput()).contains(
                                     "\"event\":\"start\""),
                                 30000);
        StartClaiming();
        QCOMPARE(Caption(), Q(text::kDeviceConnected));
        QTest::mouseClick(Update(), Qt::LeftButton);
        QCOMPARE(boxes.seen.size(), std::size_t{1});
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes.seen[0].text, Q(text::kUnitBusy));
        QCOMPARE(boxes.seen[0].title, QString("lumo_e2e_tests"));
        QVERIFY(!dialog->tool().IsUpdating());
        QVERIFY(Update()->isEnabled());
        QCOMPARE(Percent(), Q(text::kZeroPercent));
        QCOMPARE(flash.state(), QProcess::Running);  // refused at once, not after the other

        QTRY_VERIFY_WITH_TIMEOUT(flash.state() == QProcess::NotRunning, 60000);
        out += flash.readAllStandardOutput();
        std::cerr << flash.readAllStandardError().toStdString();
        QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
        QCOMPARE(flash.exitCode(), 0);
        QVERIFY2(out.contains("\"event\":\"done\""), out.constData());
        QCOMPARE(boxes.seen.size(), std::size_t{1});
    }

    // Scenario: as above, the other order: the dialog updates the unit; lumo-flash started
    // meanwhile writes nothing and ends with its unit-busy status (5), and the dialog's update
    // goes on to the success box.
    void lumoFlashRefusedWhileUpdating() {
        StartClaiming();
        ClickUpdateAndSeeTheStreamStart();
        QTRY_VERIFY_WITH_TIMEOUT(Progress() >= 10, 20000);
        QProcess flash;
        StartLumoFlash(flash, 5);
        // The event loop runs meanwhile, so the dialog's timer keeps the stream going.
        QTRY_VERIFY_WITH_TIMEOUT(flash.state() == QProcess::NotRunning, 30000);
        const QByteArray out = flash.readAllStandardOutput();
        const QByteArray err = flash.readAllStandardError();
        std::cerr << err.toStdString();
        QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
        QCOMPARE(flash.exitCode(), 5);
        QVERIFY2(err.contains(QByteArray::fromStdString(std::string(text::kUnitBusy))),
                 err.constData());
        QVERIFY2(out.contains("\"reason\":\"unit-busy\""), out.constData());
        QVERIFY(dialog->tool().IsUpdating());
        SeeTheSuccessBox();
    }

    // Soak: whole updates one after another in this one process while the emulator pulls the
    // device out and plugs it back in at seeded random times (tests/soak/soak.py writes that
    // scenario). After each update the box shown must agree with what the device got, read
    // from the emulator's transcript; descriptors and resident memory must be the same after
    // the last update as after the first. LUMO_SOAK_UPDATES (3 by default) and
    // LUMO_SOAK_TRANSCRIPT (the emulator's --transcript) set it up.
    void soak() {
        const int updates = EnvInt("LUMO_SOAK_UPDATES", 3);
        const char* transcript = std::getenv("LUMO_SOAK_TRANSCRIPT");
        QVERIFY2(transcript, "LUMO_SOAK_TRANSCRIPT names the emulator's transcript");
        std::streamoff pos = 0;
        Start();
        int done = 0, successes = 0, presses = 0;
        // Descriptors and memory are read with the device connected (so that every reading
        // counts its node) before each update and after the last.
        struct Reading {
            Descriptors fds;
            long rss_kib;
            std::string list;
        };
        std::vector<Reading> readings;
        auto read = [&] {
            readings.push_back({OpenDescriptors(), ResidentKiB(), DescriptorList()});
        };
        while (done < updates) {
            QVERIFY(++presses < 4 * updates + 10);  // a device that never comes back
            QTRY_VERIFY_WITH_TIMEOUT(dialog->tool().IsConnected() && Update()->isEnabled(),
                                     30000);
            if (static_cast<int>(readings.size()) == done) read();
            ReadTranscript(transcript, pos);  // what went before this press is no concern
            const std::size_t before = boxes.seen.size();
            QTest::mouseClick(Update(), Qt::LeftButton);
            // The update ends with a box; one suspended for good would fail here.
            QTRY_VERIFY_WITH_TIMEOUT(boxes.seen.size() > before && !dialog->tool().IsUpdating(),
                                     120000);
            const QString text = boxes.seen.back().text;
            if (text == Q(text::kNotConnected)) continue;  // pulled out just then: no update
            const bool success = text == Q(text::kSuccess);
            QVERIFY2(success || text == Q(text::kTryAgain), qPrintable(text));
            // The device's last lines can come a moment after the box.
            QTest::qWait(success ? 500 : 200);
            const DeviceSaw saw = ReadTranscript(transcript, pos);
            ++done;
            successes += success;
            std::printf("soak: update %d: %s; the device got %s%s\n", done,
                        success ? "success" : "failure",
                        !saw.bad.empty()    ? saw.bad.c_str()
                        : saw.finished == 1 ? "the whole image"
                                            : "no finish report; its last event: ",
                        saw.bad.empty() && saw.finished != 1 ? saw.last.c_str() : "");
            std::fflush(stdout);
            QVERIFY2(saw.bad.empty(), saw.bad.c_str());
            QCOMPARE(saw.finished, success ? 1 : 0);  // the promise
        }
        QTRY_VERIFY_WITH_TIMEOUT(dialog->tool().IsConnected(), 30000);
        read();
        const Reading& first = readings[std::min<std::size_t>(1, readings.size() - 1)];
        const Reading& last = readings.back();
        const Descriptors fds_first = first.fds;
        const long rss_first = first.rss_kib;
        const std::string& fds_first_list = first.list;
        const Descriptors fds_last = last.fds;
        if (fds_last.own != fds_first.own)
            std::printf("soak: descriptors after the first update: %s\nsoak: after the last: %s\n",
                        fds_first_list.c_str(), last.list.c_str());
        const long rss_last = last.rss_kib;
        std::printf("soak: %d updates (%d success, %d failure), %d presses; descriptors %ld "
                    "after the first, %ld after the last (and umockdev's Unix sockets: %ld, "
                    "%ld); resident memory %ld KiB after the first, %ld KiB after the last\n",
                    done, successes, done - successes, presses, fds_first.own, fds_last.own,
                    fds_first.unix_sockets, fds_last.unix_sockets, rss_first, rss_last);
        std::fflush(stdout);
        QCOMPARE(fds_last.own, fds_first.own);
        // Resident memory may move by a few pages as the allocator reuses them; a leak of
        // anything per update (reports, boxes, handles) would show as steady growth.
        QVERIFY2(rss_last - rss_first < 1024, "resident memory grew by 1 MiB or more");
    }

    // Scenario, with the mock logind: the 0x7B16 device unplugged after block 300 and back
    // 700 ms later. One lock is asked for when the update starts and held until it ends,
    // also while the device is away.
    void sleepHeldOffWhileUnderWay() {
        const std::string name = lumo::qt::ExecutableBaseName().toStdString();
        Start(true);
        QVERIFY(InhibitCalls().empty());
        QCOMPARE(HeldLocks(), 0);
        std::vector<int> held_at_caption;
        connect(dialog.get(), &lumo::qt::LumoToolDialog::statusCaptionSet, this,
                [&] { held_at_caption.push_back(HeldLocks()); });

        ClickUpdateAndSeeTheStreamStart();
        const std::vector<std::string> calls = InhibitCalls();
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(calls[0], InhibitCall(name));
        QCOMPARE(HeldLocks(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(held_at_caption.size() >= 2, 30000);
        QCOMPARE(held_at_caption[0], 1);  // "Device Disconnected", the update suspended
        SeeTheSuccessBox();
        QTRY_COMPARE_WITH_TIMEOUT(HeldLocks(), 0, 5000);  // its descriptor hung up
        QCOMPARE(InhibitCalls().size(), std::size_t{1});
    }

    // Scenario, with the mock logind: the write of block 150 fails; the lock goes with it.
    void sleepAllowedAgainAfterAFailedWrite() {
        Start(true);
        ClickUpdateAndSeeTheStreamStart();
        QCOMPARE(HeldLocks(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.seen.empty(), 30000);
        QCOMPARE(boxes.seen[0].text, Q(text::kTryAgain));
        QTRY_COMPARE_WITH_TIMEOUT(HeldLocks(), 0, 5000);
        QCOMPARE(InhibitCalls().size(), std::size_t{1});
    }

    // Scenario: no system bus at all. The update runs as ever; standard error gets one line.
    void wholeUpdateWithoutASystemBus() {
        struct Capture {
            std::ostringstream text;
            std::streambuf* old = std::cerr.rdbuf(text.rdbuf());
            ~Capture() {
                std::cerr.rdbuf(old);
                std::cerr << text.str();
            }
        } captured;
        Start(true);
        ClickUpdateAndSeeTheStreamStart();
        SeeTheSuccessBox();
        const QString said = QString::fromStdString(captured.text.str());
        QCOMPARE(said.count('\n'), 1);
        QVERIFY2(said.startsWith(lumo::qt::ExecutableBaseName() +
                                 ": cannot hold off sleep and shutdown during the update: "
                                 "no system bus ("),
                 qPrintable(said));
    }
};

QTEST_MAIN(EndToEnd)
#include "e2e_test.moc"

// The Linux program end to end: the real dialog, libudev and hidraw code and the real 10 ms
// timer, on the offscreen platform, against the emulated Orvel-M8. Each function is one
// scenario and runs on its own under the emulator (see CMakeLists.txt), which judges what the
// device received; this side checks what the window showed.
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <iostream>
#include <memory>
#include <sstream>

#include "device/linux/hidraw_access.h"
#include "device/linux/udev_monitor.h"
#include "tests/linux/box_answerer.h"
#include "tests/linux/mock_logind.h"
#include "ui/dialog_template.h"
#include "ui/label_colors.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/lumo_tool_dialog.h"
#include "ui/status_texts.h"
#include "update/linux/logind_inhibitor.h"

using lumo::testing::BoxAnswerer;
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
    std::unique_ptr<lumo::linux_hid::UdevHidMonitor> monitor;
    // As the program makes it: named after the executable, its one line to standard error.
    std::unique_ptr<lumo::linux_power::LogindInhibitor> inhibitor;
    std::unique_ptr<lumo::qt::LumoToolDialog> dialog;
    BoxAnswerer boxes;

    void Start(bool hold_off_sleep = false) {
        hid = std::make_unique<lumo::linux_hid::HidrawAccess>(std::cerr, "70-orvel-m8.rules");
        monitor = std::make_unique<lumo::linux_hid::UdevHidMonitor>();
        QVERIFY(monitor->fd() >= 0);
        if (hold_off_sleep)
            inhibitor = std::make_unique<lumo::linux_power::LogindInhibitor>(
                lumo::qt::ExecutableBaseName().toStdString(), std::cerr);
        dialog = std::make_unique<lumo::qt::LumoToolDialog>(
            *hid, monitor.get(), lumo::qt::ExecutableBaseName(), boxes.Runner(), inhibitor.get());
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

    void ClickUpdateAndSeeTheStreamStart() {
        QVERIFY(Update()->isEnabled());
        QTest::mouseClick(Update(), Qt::LeftButton);
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

  private slots:
    void cleanup() {
        dialog.reset();
        inhibitor.reset();
        monitor.reset();
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

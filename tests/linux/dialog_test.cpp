// The Qt dialog on the offscreen platform, over the fake HID bus: start state, geometry from
// dialog units, colours and fonts, message boxes, the close guard and the real 10 ms timer.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QtTest>
#include <vector>

#include "ports/status_texts.h"
#include "tests/fakes/bootloader_check.h"
#include "tests/fakes/fake_hid_bus.h"
#include "tests/linux/box_answerer.h"
#include "ui/dialog_template.h"
#include "ui/label_colors.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/lumo_tool_dialog.h"

using lumo::qt::LumoToolDialog;
namespace dlg = lumo::dialog;

namespace {

constexpr const char* kPrimaryPath = "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw0";
constexpr const char* kVariantPath = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0001#/dev/hidraw0";

}  // namespace

using lumo::testing::BoxAnswerer;
using lumo::testing::FromColorRef;
using lumo::testing::Q;
using lumo::testing::SeenBox;

class DialogTest : public QObject {
    Q_OBJECT

  private:
    lumo::testing::FakeHidBus bus;
    BoxAnswerer boxes;

    // The stand-in guard has its own test; elsewhere every press that can start, starts.
    std::unique_ptr<LumoToolDialog> Make(lumo::UpdateOptions options = {.stand_ins = false}) {
        return std::make_unique<LumoToolDialog>(bus, nullptr, "Lumo_Tool", boxes.Runner(),
                                                options);
    }
    template <class T>
    static T* Get(LumoToolDialog& d, int id) {
        return qobject_cast<T*>(d.Control(id));
    }

  private slots:
    void init() {
        bus = {};
        boxes = {};
    }

    void startsWithoutDeviceAtOnce() {
        auto d = Make();
        QElapsedTimer clock;
        clock.start();
        d->Initialize();
        QVERIFY(clock.elapsed() < 2500);  // no start pause without a device
        // Before the window shows, the percentage already reads 0%, never the template's text.
        QCOMPARE(Get<QLabel>(*d, dlg::IDC_PERCENT)->text(), Q(lumo::text::kZeroPercent));
        d->show();
        QVERIFY(QTest::qWaitForWindowExposed(d.get()));
        QCOMPARE(d->windowTitle(), Q(dlg::kTitle));
        // Centred on the screen's work area.
        const QPoint off = d->frameGeometry().center() - d->screen()->availableGeometry().center();
        QVERIFY2(off.manhattanLength() <= 2,
                 qPrintable(QString("off by %1,%2").arg(off.x()).arg(off.y())));
        QCOMPARE(Get<QGroupBox>(*d, dlg::IDC_STATUS)->title(), Q(lumo::text::kDeviceDisconnected));
        QCOMPARE(Get<QLabel>(*d, dlg::IDC_NOTE)->text(), QString());
        QCOMPARE(Get<QProgressBar>(*d, dlg::IDC_PROGRESS)->value(), 0);
        QCOMPARE(Get<QProgressBar>(*d, dlg::IDC_PROGRESS)->minimum(), 0);
        QCOMPARE(Get<QProgressBar>(*d, dlg::IDC_PROGRESS)->maximum(), 100);
        QCOMPARE(Get<QLabel>(*d, dlg::IDC_GUIDE_EXTRA)->text(), QString());
        auto* update = Get<QPushButton>(*d, dlg::IDC_UPDATE);
        QVERIFY(update->isEnabled());
        QCOMPARE(d->focusWidget(), update);
        QVERIFY(boxes.seen.empty());
    }

    void startsWithDeviceAfterThePause() {
        bus.Plug(kPrimaryPath);
        auto d = Make();
        QElapsedTimer clock;
        clock.start();
        d->Initialize();
        QVERIFY(clock.elapsed() >= 2500);
        QVERIFY(!d->isVisible());  // the pause ran before the window shows
        QCOMPARE(Get<QGroupBox>(*d, dlg::IDC_STATUS)->title(), Q(lumo::text::kDeviceConnected));
        QCOMPARE(Get<QLabel>(*d, dlg::IDC_PERCENT)->text(), Q(lumo::text::kZeroPercent));
        QCOMPARE(bus.opened.size(), std::size_t{1});
    }

    void controlsSitAtTheirTemplatePositions() {
        auto d = Make();
        d->Initialize();
        d->show();
        QVERIFY(QTest::qWaitForWindowExposed(d.get()));
        const lumo::qt::DialogBaseUnits u = lumo::qt::BaseUnitsOf(d->font());
        QCOMPARE(d->base_units().x, u.x);
        QCOMPARE(d->base_units().y, u.y);
        // The dialog font is 9 points: its base units are those of a 12-pixel face at 96 dpi.
        QVERIFY2(u.x >= 5 && u.x <= 8 && u.y >= 12 && u.y <= 17,
                 qPrintable(QString("base units %1 x %2").arg(u.x).arg(u.y)));
        QCOMPARE(d->size(),
                 lumo::qt::MapDialogRect({0, 0, dlg::kWidthDu, dlg::kHeightDu}, u).size());

        auto check = [&](const char* when) {
            for (const auto& t : dlg::kControls) {
                QWidget* w = d->Control(t.id);
                QVERIFY2(w, t.name.data());
                const QRect want{lumo::qt::MulDiv(t.x, u.x, 4), lumo::qt::MulDiv(t.y, u.y, 8),
                                 lumo::qt::MulDiv(t.cx, u.x, 4), lumo::qt::MulDiv(t.cy, u.y, 8)};
                QVERIFY2(w->geometry() == want,
                         qPrintable(QString("%1 %2").arg(t.name.data(), when)));
                QVERIFY(w->isVisible());
            }
        };
        check("at start");
        d->resize(d->width() + 140, d->height() + 90);
        QTest::qWait(20);
        check("after enlarging");
        d->resize(d->width() / 2, d->height() / 2);
        QTest::qWait(20);
        check("after shrinking");
    }

    void dialogUnitsConvertAsWindowsDoes() {
        QCOMPARE(lumo::qt::MulDiv(7, 6, 4), 11);    // 10.5 rounds up
        QCOMPARE(lumo::qt::MulDiv(13, 6, 4), 20);   // 19.5 rounds up
        QCOMPARE(lumo::qt::MulDiv(-7, 6, 4), -11);  // away from zero
        QCOMPARE(lumo::qt::MulDiv(179, 13, 8), 291);
        QCOMPARE(lumo::qt::PointsToPixels(9, 96), 12);
        QCOMPARE(lumo::qt::PointsToPixels(9, 120), 15);
        QCOMPARE(lumo::qt::MapDialogRect({7, 7, 195, 165}, {6, 13}), QRect(11, 11, 293, 268));
        // A larger dialog font spreads the same template further.
        QFont small("DejaVu Sans");
        small.setPixelSize(12);
        QFont large = small;
        large.setPixelSize(18);
        QVERIFY(lumo::qt::BaseUnitsOf(large).x > lumo::qt::BaseUnitsOf(small).x);
        QVERIFY(lumo::qt::BaseUnitsOf(large).y > lumo::qt::BaseUnitsOf(small).y);
    }

    void labelsTakeTheirColoursAndFont() {
        auto d = Make();
        d->Initialize();
        for (int id : {dlg::IDC_GUIDE_TITLE, dlg::IDC_GUIDE_HOLD, dlg::IDC_GUIDE_PLUG,
                       dlg::IDC_GUIDE_EXTRA}) {
            QCOMPARE(d->Control(id)->palette().color(QPalette::WindowText),
                     FromColorRef(lumo::kGuideColor));
        }
        QCOMPARE(d->Control(dlg::IDC_NOTE)->palette().color(QPalette::WindowText),
                 FromColorRef(lumo::kNoteColor));
        // Not in the colour table: the default colour and the dialog's font.
        for (int id : {dlg::IDC_PERCENT, dlg::IDC_UPDATE, dlg::IDC_PROGRESS}) {
            QCOMPARE(d->Control(id)->palette().color(QPalette::WindowText),
                     d->palette().color(QPalette::WindowText));
            QCOMPARE(d->Control(id)->font(), d->font());
        }
        for (int id : {dlg::IDC_STATUS, dlg::IDC_GUIDE_TITLE, dlg::IDC_GUIDE_HOLD,
                       dlg::IDC_GUIDE_PLUG, dlg::IDC_GUIDE_EXTRA, dlg::IDC_NOTE}) {
            const QFont f = d->Control(id)->font();
            QCOMPARE(f.family(), QString("Arial"));
            QCOMPARE(f.pixelSize(), lumo::qt::MulDiv(d->logicalDpiY(), 90, 720));
            QCOMPARE(f.weight(), QFont::Normal);
            QVERIFY(!f.italic());
        }
    }

    // Counts the pixels of exactly `color` in the group box's caption strip as drawn.
    static int CaptionPixels(QGroupBox* box, const QColor& color) {
        const QImage image = box->grab().toImage();
        const int strip = box->fontMetrics().height() + 2;
        int count = 0;
        for (int y = 0; y < std::min(strip, image.height()); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (QColor(image.pixel(x, y)) == color) ++count;
        return count;
    }

    void captionColourFollowsTheConnection() {
        auto d = Make();
        d->Initialize();
        d->show();
        QVERIFY(QTest::qWaitForWindowExposed(d.get()));
        auto* status = Get<QGroupBox>(*d, dlg::IDC_STATUS);
        const QColor red = FromColorRef(lumo::kDisconnectedColor);
        const QColor green = FromColorRef(lumo::kConnectedColor);
        QVERIFY(CaptionPixels(status, red) > 10);
        QCOMPARE(CaptionPixels(status, green), 0);

        bus.Plug(kPrimaryPath);
        d->tool().OnDeviceChange(lumo::kDeviceArrival, 0);
        QCOMPARE(status->title(), Q(lumo::text::kDeviceConnected));
        QVERIFY(CaptionPixels(status, green) > 10);
        QCOMPARE(CaptionPixels(status, red), 0);

        bus.Unplug(kPrimaryPath);
        d->tool().OnDeviceChange(lumo::kDeviceRemoveComplete, 0);
        QCOMPARE(status->title(), Q(lumo::text::kDeviceDisconnected));
        QVERIFY(CaptionPixels(status, red) > 10);
        QCOMPARE(CaptionPixels(status, green), 0);
    }

    void boxesHaveTheirIconsAndTheApplicationName() {
        auto d = Make();
        d->Initialize();
        d->show();
        QTest::mouseClick(Get<QPushButton>(*d, dlg::IDC_UPDATE), Qt::LeftButton);
        d->ShowPlainBox(lumo::text::kSuccess);
        QCOMPARE(boxes.seen.size(), std::size_t{2});
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes.seen[0].text, Q(lumo::text::kNotConnected));
        QCOMPARE(boxes.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(boxes.seen[1].icon, QMessageBox::NoIcon);
        QCOMPARE(boxes.seen[1].text, Q(lumo::text::kSuccess));
        QCOMPARE(boxes.seen[1].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        for (const SeenBox& b : boxes.seen) QCOMPARE(b.title, QString("Lumo_Tool"));
    }

    void realTimerStreamsAndClosingAsksFirst() {
        bus.Plug(kVariantPath);
        auto d = Make();
        d->Initialize();
        d->show();
        QVERIFY(QTest::qWaitForWindowExposed(d.get()));
        QTest::mouseClick(Get<QPushButton>(*d, dlg::IDC_UPDATE), Qt::LeftButton);
        QVERIFY(d->tool().IsUpdating());
        QCOMPARE(Get<QLabel>(*d, dlg::IDC_NOTE)->text(), Q(lumo::text::kUpdating));
        QVERIFY(!Get<QPushButton>(*d, dlg::IDC_UPDATE)->isEnabled());
        // Nothing but the dialog's own timer sends the data reports.
        QTRY_VERIFY_WITH_TIMEOUT(bus.writes.size() > 20, 5000);

        // Escape while streaming: the guard asks, No keeps the window and the stream going.
        boxes.answer = QMessageBox::No;
        QTest::keyClick(d.get(), Qt::Key_Escape);
        QCOMPARE(boxes.seen.size(), std::size_t{1});
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes.seen[0].title, QString("Lumo_Tool"));
        QCOMPARE(boxes.seen[0].text, Q(lumo::text::kCloseWhileUpdating));
        QCOMPARE(boxes.seen[0].buttons,
                 QMessageBox::StandardButtons(QMessageBox::Yes | QMessageBox::No));
        QCOMPARE(boxes.seen[0].default_button, QMessageBox::No);
        QVERIFY(d->isVisible());
        const std::size_t before = bus.writes.size();
        QTRY_VERIFY_WITH_TIMEOUT(bus.writes.size() > before + 10, 5000);

        // The close button takes the same path; Yes closes.
        boxes.answer = QMessageBox::Yes;
        d->close();
        QCOMPARE(boxes.seen.size(), std::size_t{2});
        QVERIFY(!d->isVisible());
        QCOMPARE(d->result(), int(QDialog::Rejected));
    }

    // A build with stand-in images: the caption says so, the first press of Update asks
    // (Yes/No, No the default), No leaves the window exactly as it was and sends nothing, Yes
    // streams the image and is not asked again. Other images: plain caption, never asked.
    void standInGuard_data() {
        QTest::addColumn<bool>("stand_ins");
        QTest::addColumn<QList<int>>("answers");  // one press per answer, each run to its end
        QTest::addColumn<int>("questions");
        QTest::addColumn<int>("updates");
        QTest::newRow("no") << true << QList<int>{QMessageBox::No} << 1 << 0;
        QTest::newRow("no, then yes, then again")
            << true << QList<int>{QMessageBox::No, QMessageBox::Yes, QMessageBox::Yes} << 2 << 2;
        QTest::newRow("other images")
            << false << QList<int>{QMessageBox::No, QMessageBox::No} << 0 << 2;
    }

    void standInGuard() {
        QFETCH(bool, stand_ins);
        QFETCH(QList<int>, answers);
        QFETCH(int, questions);
        QFETCH(int, updates);
        auto d = Make({.stand_ins = stand_ins});
        d->Initialize();
        bus.Plug(kVariantPath);  // after the start, which would pause 2500 ms with a device
        QVERIFY(d->tool().FindDevice());
        const QString plain = Q(dlg::kTitle);
        QCOMPARE(d->windowTitle(),
                 stand_ins ? plain + Q(lumo::text::kStandInCaptionSuffix) : plain);

        int delivered = 0;
        for (const int answer : answers) {
            boxes.stand_in_answer = static_cast<QMessageBox::StandardButton>(answer);
            const std::size_t writes = bus.writes.size();
            const QStringList before{Get<QLabel>(*d, dlg::IDC_PERCENT)->text(),
                                     Get<QLabel>(*d, dlg::IDC_NOTE)->text(),
                                     Get<QGroupBox>(*d, dlg::IDC_STATUS)->title()};
            const int position = Get<QProgressBar>(*d, dlg::IDC_PROGRESS)->value();
            QTest::mouseClick(Get<QPushButton>(*d, dlg::IDC_UPDATE), Qt::LeftButton);
            if (!d->tool().IsUpdating()) {
                QCOMPARE(bus.writes.size(), writes);
                QVERIFY(Get<QPushButton>(*d, dlg::IDC_UPDATE)->isEnabled());
                QCOMPARE((QStringList{Get<QLabel>(*d, dlg::IDC_PERCENT)->text(),
                                      Get<QLabel>(*d, dlg::IDC_NOTE)->text(),
                                      Get<QGroupBox>(*d, dlg::IDC_STATUS)->title()}),
                         before);
                QCOMPARE(Get<QProgressBar>(*d, dlg::IDC_PROGRESS)->value(), position);
                continue;
            }
            for (int i = 0; i < 5000 && d->tool().IsUpdating(); ++i)
                d->tool().OnTimer(lumo::UPDATE_TIMER_ID);
            const auto all = bus.Reports();
            if (lumo::testing::CheckDelivery({all.begin() + static_cast<long>(writes), all.end()},
                                             lumo::g_firmwareVariant.bytes()) ==
                lumo::testing::kDelivered)
                ++delivered;
        }
        for (const SeenBox& b : boxes.stand_in_questions) {
            QCOMPARE(b.text, Q(lumo::text::kStandInQuestion));
            QCOMPARE(b.title, QString("Lumo_Tool"));
            QCOMPARE(b.icon, QMessageBox::Warning);
            QCOMPARE(b.buttons, QMessageBox::StandardButtons(QMessageBox::Yes | QMessageBox::No));
            QCOMPARE(b.default_button, QMessageBox::No);
        }
        QCOMPARE(static_cast<int>(boxes.stand_in_questions.size()), questions);
        QCOMPARE(delivered, updates);
    }

    void closingWhileIdleIsImmediate() {
        auto d = Make();
        d->Initialize();
        d->show();
        QVERIFY(QTest::qWaitForWindowExposed(d.get()));
        QTest::keyClick(d.get(), Qt::Key_Escape);
        QVERIFY(!d->isVisible());
        QVERIFY(boxes.seen.empty());
    }
};

QTEST_MAIN(DialogTest)
#include "dialog_test.moc"

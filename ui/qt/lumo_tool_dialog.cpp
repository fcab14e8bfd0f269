#include "ui/qt/lumo_tool_dialog.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <chrono>
#include <thread>

#include "core/update_sequence.h"
#include "platform/linux/udev_monitor.h"
#include "ports/status_texts.h"
#include "ui/dialog_template.h"
#include "ui/label_colors.h"

namespace lumo::qt {

namespace {

QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QColor FromColorRef(std::uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

void SetTextColor(QWidget* w, std::uint32_t colorref) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, FromColorRef(colorref));
    w->setPalette(p);
}

// The template's font has no face of that name here; take the closest ones there are.
void RegisterFontSubstitutes() {
    static const bool done = [] {
        QFont::insertSubstitutions(
            QString::fromLatin1(dialog::kFontFace.data(), dialog::kFontFace.size()),
            {"Tahoma", "Liberation Sans", "Arial", "DejaVu Sans"});
        QFont::insertSubstitutions(kLabelFontFace, {"Liberation Sans", "Arimo", "DejaVu Sans"});
        return true;
    }();
    (void)done;
}

UpdateOptions WithQuestion(UpdateOptions options, Question* question) {
    options.question = question;
    return options;
}

}  // namespace

QString ExecutableBaseName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

StatusGroupBox::StatusGroupBox(const QString& title, QWidget* parent,
                               std::function<bool()> connected)
    : QGroupBox(title, parent), connected_(std::move(connected)) {}

void StatusGroupBox::paintEvent(QPaintEvent* event) {
    // The caption's colour is read from the connection at every paint, as the Windows
    // dialog's colour handler does; a caption set after a change shows in the new colour.
    const QColor want = FromColorRef(*LabelTextColor(dialog::IDC_STATUS, connected_()));
    if (palette().color(QPalette::WindowText) != want) {
        QPalette p = palette();
        p.setColor(QPalette::WindowText, want);
        setPalette(p);
    }
    QGroupBox::paintEvent(event);
}

LumoToolDialog::LumoToolDialog(HidAccess& hid, linux_hid::UdevHidMonitor* monitor, QString app_name,
                               BoxRunner run_box, UpdateOptions options)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      monitor_(monitor),
      app_name_(std::move(app_name)),
      run_box_(std::move(run_box)),
      tool_(hid, *this, *this, WithQuestion(options, this)) {
    RegisterFontSubstitutes();
    setWindowTitle(Utf8(tool_.Caption()));
    setSizeGripEnabled(false);

    QFont font(QString::fromLatin1(dialog::kFontFace.data(), dialog::kFontFace.size()));
    font.setPixelSize(PointsToPixels(dialog::kFontPoints, logicalDpiY()));
    setFont(font);
    units_ = BaseUnitsOf(font);

    // 9-point Arial: its character height is dpi * 90 / 720 pixels.
    label_font_ = QFont(kLabelFontFace);
    label_font_.setPixelSize(MulDiv(logicalDpiY(), kLabelFontPoints * 10, 720));

    CreateControls();
    resize(MapDialogRect({0, 0, dialog::kWidthDu, dialog::kHeightDu}, units_).size());

    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(static_cast<int>(UPDATE_TIMER_PERIOD_MS));
    // As with the Windows timer, a tick comes only when no other event is waiting: a
    // device change that has arrived is handled first, so a tick never writes to a device
    // whose removal is already known.
    connect(&timer_, &QTimer::timeout, this, [this] {
        OnDeviceEvents();
        tool_.OnTimer(UPDATE_TIMER_ID);
    });
}

LumoToolDialog::~LumoToolDialog() = default;

void LumoToolDialog::CreateControls() {
    // In template order, so stacking and keyboard order follow it; all are siblings, as the
    // controls of a Windows dialog are, and none moves when the frame is resized.
    for (const dialog::ControlTemplate& t : dialog::kControls) {
        QWidget* w = nullptr;
        switch (t.kind) {
            case dialog::ControlKind::GroupBox:
                w = new StatusGroupBox(Utf8(t.text), this, [this] { return tool_.IsConnected(); });
                break;
            case dialog::ControlKind::PushButton: {
                auto* button = new QPushButton(Utf8(t.text), this);
                button->setDefault(true);
                connect(button, &QPushButton::clicked, this, [this] { tool_.OnBnClickedUpdate(); });
                w = button;
                break;
            }
            case dialog::ControlKind::Static: {
                auto* label = new QLabel(Utf8(t.text), this);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setWordWrap(true);
                label->setTextFormat(Qt::PlainText);
                w = label;
                break;
            }
            case dialog::ControlKind::Progress: {
                auto* bar = new QProgressBar(this);
                bar->setRange(0, 100);
                bar->setValue(0);
                bar->setTextVisible(false);
                w = bar;
                break;
            }
        }
        w->setObjectName(QString::fromLatin1(t.name.data(), t.name.size()));
        w->setProperty("controlId", t.id);
        w->setGeometry(MapDialogRect({t.x, t.y, t.cx, t.cy}, units_));
        w->setFocusPolicy(t.kind == dialog::ControlKind::PushButton ? Qt::StrongFocus
                                                                    : Qt::NoFocus);
        if (const auto color = LabelTextColor(t.id, false)) {
            w->setFont(label_font_);
            SetTextColor(w, *color);
        }
        controls_[t.id] = w;
    }
    Control(dialog::IDC_UPDATE)->setFocus();
}

QWidget* LumoToolDialog::Control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void LumoToolDialog::Initialize() {
    if (monitor_ && monitor_->fd() >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(monitor_->fd(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { OnDeviceEvents(); });
    }
    tool_.Start();
    timer_.start();
    Control(dialog::IDC_UPDATE)->setFocus();
}

void LumoToolDialog::OnDeviceEvents() {
    if (!monitor_) return;
    while (const auto event = monitor_->NextEvent()) tool_.OnDeviceChange(*event, 0);
}

void LumoToolDialog::SetStatusCaption(std::string_view text) {
    static_cast<QGroupBox*>(Control(dialog::IDC_STATUS))->setTitle(Utf8(text));
    emit statusCaptionSet(Utf8(text));
}

void LumoToolDialog::SetNote(std::string_view text) {
    static_cast<QLabel*>(Control(dialog::IDC_NOTE))->setText(Utf8(text));
}

void LumoToolDialog::SetPercentText(std::string_view text) {
    static_cast<QLabel*>(Control(dialog::IDC_PERCENT))->setText(Utf8(text));
}

void LumoToolDialog::SetProgress(int position) {
    static_cast<QProgressBar*>(Control(dialog::IDC_PROGRESS))->setValue(position);
}

void LumoToolDialog::EnableUpdate(bool enable) { Control(dialog::IDC_UPDATE)->setEnabled(enable); }

int LumoToolDialog::RunBox(QMessageBox& box) {
    box.setWindowTitle(app_name_);
    return run_box_ ? run_box_(box) : box.exec();
}

void LumoToolDialog::ShowWarningBox(std::string_view text) {
    QMessageBox box(QMessageBox::Warning, app_name_, Utf8(text), QMessageBox::Ok, this);
    RunBox(box);
}

void LumoToolDialog::ShowPlainBox(std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, app_name_, Utf8(text), QMessageBox::Ok, this);
    RunBox(box);
}

bool LumoToolDialog::AskYesNo(std::string_view text) {
    QMessageBox box(QMessageBox::Warning, app_name_, Utf8(text),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return RunBox(box) == QMessageBox::Yes;
}

void LumoToolDialog::Wait(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void LumoToolDialog::done(int result) {
    timer_.stop();
    if (notifier_) notifier_->setEnabled(false);
    QDialog::done(result);
}

void LumoToolDialog::reject() {
    if (tool_.IsUpdating()) {
        QMessageBox box(QMessageBox::Warning, app_name_, Utf8(text::kCloseWhileUpdating),
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        if (RunBox(box) != QMessageBox::Yes) return;
    }
    QDialog::reject();
}

}  // namespace lumo::qt

// The main window on Linux: the dialog template rendered with Qt Widgets, hosting the shared
// LumoTool. It implements StatusView on its controls and Pause as a real sleep of the GUI
// thread, and forwards the 10 ms timer, Update clicks and udev arrival/removal to the tool.
// Everything runs on the one GUI thread.
#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "core/lumo_tool.h"
#include "ports/pause.h"
#include "ports/question.h"
#include "ports/status_view.h"
#include "ports/update_lifetime.h"
#include "ui/qt/dialog_units.h"

class QMessageBox;
class QSocketNotifier;

namespace lumo::linux_hid {
class UdevHidMonitor;
}

namespace lumo::qt {

// The executable's file name without its extension: the caption of every message box.
QString ExecutableBaseName();

// The connection group box, whose caption takes green or red from the connection state.
class StatusGroupBox : public QGroupBox {
  public:
    StatusGroupBox(const QString& title, QWidget* parent, std::function<bool()> connected);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::function<bool()> connected_;
};

class LumoToolDialog : public QDialog, public StatusView, public Pause, public Question {
    Q_OBJECT

  public:
    // Runs a message box until it is closed and returns the button pressed. The default is
    // the box's own modal loop; tests answer boxes through it.
    using BoxRunner = std::function<int(QMessageBox&)>;

    // `monitor` may be null (no hotplug). `app_name` is the caption of every message box.
    // `options` are the tool's (the built-in images by default; a lifetime, when given, is
    // told when an update starts and ends and must outlive the dialog); the dialog asks its
    // questions.
    LumoToolDialog(HidAccess& hid, linux_hid::UdevHidMonitor* monitor, QString app_name,
                   BoxRunner run_box = {}, UpdateOptions options = {});
    ~LumoToolDialog() override;

    // The initialisation before the window first shows: watch for arrival and removal, run
    // the first search (with its 2500 ms pause when the device is found), "0%", start the
    // 10 ms timer. Show the window afterwards.
    void Initialize();

    // The control with a template identifier, as the Windows dialog's GetDlgItem finds it.
    QWidget* Control(int id) const;
    DialogBaseUnits base_units() const { return units_; }
    LumoTool& tool() { return tool_; }
    const QString& app_name() const { return app_name_; }

    // StatusView
    void SetStatusCaption(std::string_view text) override;
    void SetNote(std::string_view text) override;
    void SetPercentText(std::string_view text) override;
    void SetProgress(int position) override;
    void EnableUpdate(bool enable) override;
    void ShowWarningBox(std::string_view text) override;
    void ShowPlainBox(std::string_view text) override;

    // Pause: holds the GUI thread; nothing is handled or repainted meanwhile.
    void Wait(std::uint32_t ms) override;

    // Question: a Yes/No box with the warning icon (what it asks about can harm the device),
    // No the default (Enter and Escape say No).
    bool AskYesNo(std::string_view text) override;

  signals:
    // Every caption the connection group box is given, in order.
    void statusCaptionSet(const QString& caption);

  public:
    // Stops the timer and the device watch: an ended dialog sends nothing more.
    void done(int result) override;

  public slots:
    // Escape, the close button and Alt+F4 all end here. While an update is under way the
    // user is asked first, and the dialog stays open unless the answer is Yes.
    void reject() override;

  private:
    void CreateControls();
    void OnDeviceEvents();
    int RunBox(QMessageBox& box);

    linux_hid::UdevHidMonitor* monitor_;
    QString app_name_;
    BoxRunner run_box_;
    LumoTool tool_;
    DialogBaseUnits units_;
    QFont label_font_;
    std::map<int, QWidget*> controls_;
    QTimer timer_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace lumo::qt

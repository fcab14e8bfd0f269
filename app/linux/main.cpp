// Lumo_Tool on Linux: one process, one thread, one dialog. The program reads no argument and
// writes no file; it ends when the dialog closes. While an update is under way it holds a
// logind inhibitor lock against sleep and shutdown.
#include <QApplication>
#include <QIcon>
#include <QStyleFactory>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/linux/hidraw_access.h"
#include "platform/linux/logind_inhibitor.h"
#include "platform/linux/unit_lock_file.h"
#include "platform/linux/udev_monitor.h"
#include "ui/qt/lumo_tool_dialog.h"

namespace {

bool HasDisplay() {
    for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(var);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "Lumo_Tool needs a graphical display, and this session has none "
                     "(DISPLAY and WAYLAND_DISPLAY are not set).\n"
                     "Start it from a desktop session, or watch it work against the "
                     "emulated device: scripts/demo.sh\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QString name = lumo::qt::ExecutableBaseName();
    QApplication::setApplicationName(name);
    QApplication::setDesktopFileName(QStringLiteral("lumo-tool"));
    QIcon icon;
    for (const char* size : {"32", "48", "256"})
        icon.addFile(QStringLiteral(":/icons/lumo_tool_%1.png").arg(size));
    QApplication::setWindowIcon(icon);

    lumo::linux_hid::HidrawAccess hid(std::cerr, LUMO_UDEV_RULE_FILE);
    lumo::linux_hid::UdevHidMonitor monitor;
    // Made before the dialog, so that it is still there when the dialog's tool ends an update
    // that the window closed on.
    lumo::linux_power::LogindInhibitor inhibitor(name.toStdString(), std::cerr);
    // One writer per unit, also against lumo-flash and a second window.
    lumo::linux_hid::LockFileClaims claims(std::cerr, name.toStdString());
    lumo::qt::LumoToolDialog dialog(hid, &monitor, name, {},
                                    {.lifetime = &inhibitor, .claims = &claims});
    dialog.Initialize();
    dialog.show();
    dialog.exec();
    return 0;
}

// Answers the dialog's message boxes in tests: records each box as shown, lets the event loop
// run for a moment as the box's own loop would, and presses the chosen button.
#pragma once

#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <string_view>
#include <vector>

#include "ui/qt/lumo_tool_dialog.h"

namespace lumo::testing {

struct SeenBox {
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton default_button;
};

struct BoxAnswerer {
    std::vector<SeenBox> seen;
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    int open_ms = 0;

    qt::LumoToolDialog::BoxRunner Runner() {
        return [this](QMessageBox& box) {
            QPushButton* def = box.defaultButton();
            seen.push_back({box.icon(), box.windowTitle(), box.text(), box.standardButtons(),
                            def ? box.standardButton(def) : QMessageBox::NoButton});
            if (open_ms > 0) {
                QEventLoop loop;
                QTimer::singleShot(open_ms, &loop, &QEventLoop::quit);
                loop.exec();
            }
            return static_cast<int>(answer);
        };
    }
};

inline QString Q(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

inline QColor FromColorRef(std::uint32_t c) {
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

}  // namespace lumo::testing

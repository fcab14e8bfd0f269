// Answers the dialog's message boxes in tests: records each box as shown, lets the event loop
// run for a moment as the box's own loop would, and presses the chosen button.
#pragma once

#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <string_view>
#include <vector>

#include "ports/status_texts.h"
#include "ui/qt/lumo_tool_dialog.h"

namespace lumo::testing {

struct SeenBox {
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton default_button;
};

// The stand-in question of a build with stand-in images is kept apart and answered on its own,
// so that a test of something else sees the same boxes in either kind of build.
struct BoxAnswerer {
    std::vector<SeenBox> seen;
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    int open_ms = 0;
    std::vector<SeenBox> stand_in_questions;
    QMessageBox::StandardButton stand_in_answer = QMessageBox::Yes;

    qt::LumoToolDialog::BoxRunner Runner() {
        return [this](QMessageBox& box) {
            QPushButton* def = box.defaultButton();
            const SeenBox shown{box.icon(), box.windowTitle(), box.text(), box.standardButtons(),
                                def ? box.standardButton(def) : QMessageBox::NoButton};
            if (box.text() == QString::fromUtf8(text::kStandInQuestion.data(),
                                                static_cast<qsizetype>(text::kStandInQuestion.size()))) {
                stand_in_questions.push_back(shown);
                return static_cast<int>(stand_in_answer);
            }
            seen.push_back(shown);
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

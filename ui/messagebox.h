// The one way the program shows a modal box. Without a display nobody can
// answer one, so on the offscreen platform a box is logged instead and a
// question takes its default button: a headless run never hangs on a box.
#pragma once

#include <QMessageBox>

#include <functional>

class MessageBox
{
public:
    static QMessageBox::StandardButton
    critical(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Ok,
             QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    warning(QWidget *parent, const QString &title, const QString &text,
            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    information(QWidget *parent, const QString &title, const QString &text,
                QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton
    question(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
             QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

    // Runs a box built by the caller (detailed text, custom buttons).
    static int exec(QMessageBox &box);

    // True when boxes cannot be shown and are logged instead.
    static bool headless();

    // Answers every box in place of the user (an automated run that must
    // give other answers than the defaults); empty: boxes behave normally.
    using Responder = std::function<QMessageBox::StandardButton(const QMessageBox &box)>;
    static void setResponder(Responder responder);

private:
    static QMessageBox::StandardButton show(QMessageBox::Icon icon, QWidget *parent, const QString &title,
                                            const QString &text, QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton);
};

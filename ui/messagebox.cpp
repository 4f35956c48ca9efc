#include "ui/messagebox.h"

#include "log/debug_class.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QPushButton>

namespace
{
const char *iconName(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Critical:
        return "critical";
    case QMessageBox::Warning:
        return "warning";
    case QMessageBox::Question:
        return "question";
    default:
        return "information";
    }
}

// The button a box would answer with if the user just pressed Enter.
QMessageBox::StandardButton defaultAnswer(QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton defaultButton)
{
    if (defaultButton != QMessageBox::NoButton)
        return defaultButton;
    // QMessageBox's own choice: the first accepting button in its fixed order.
    static const QMessageBox::StandardButton order[] = {
        QMessageBox::Ok, QMessageBox::Save,   QMessageBox::Yes,  QMessageBox::Open,
        QMessageBox::No, QMessageBox::Cancel, QMessageBox::Close};
    for (auto b : order)
        if (buttons & b)
            return b;
    return QMessageBox::NoButton;
}

MessageBox::Responder &responderSlot()
{
    static MessageBox::Responder responder;
    return responder;
}
} // namespace

void MessageBox::setResponder(Responder responder)
{
    responderSlot() = std::move(responder);
}

bool MessageBox::headless()
{
    return QGuiApplication::platformName() == QLatin1String("offscreen") ||
           QGuiApplication::platformName() == QLatin1String("minimal");
}

QMessageBox::StandardButton MessageBox::show(QMessageBox::Icon icon, QWidget *parent, const QString &title,
                                             const QString &text, QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, title, text, buttons, parent);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(exec(box));
}

int MessageBox::exec(QMessageBox &box)
{
    if (const Responder &responder = responderSlot()) {
        VLOG(4) << QStringLiteral("[BOX] \"%1\": %2").arg(box.windowTitle(), box.text());
        return responder(box);
    }
    if (!headless())
        return box.exec();
    const QMessageBox::StandardButton answer =
        box.defaultButton() ? box.standardButton(box.defaultButton())
                            : defaultAnswer(box.standardButtons(), QMessageBox::NoButton);
    QString line = QStringLiteral("[BOX] %1 \"%2\": %3")
                       .arg(QLatin1String(iconName(box.icon())), box.windowTitle(), box.text());
    if (!box.detailedText().isEmpty())
        line += QStringLiteral(" | ") + box.detailedText();
    if (box.icon() == QMessageBox::Question)
        line += QStringLiteral(" -> answered 0x%1 (no display)").arg(int(answer), 0, 16);
    VLOG(box.icon() == QMessageBox::Critical ? -10 : 4) << line;
    return answer;
}

QMessageBox::StandardButton MessageBox::critical(QWidget *parent, const QString &title, const QString &text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton)
{
    return show(QMessageBox::Critical, parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton MessageBox::warning(QWidget *parent, const QString &title, const QString &text,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::StandardButton defaultButton)
{
    return show(QMessageBox::Warning, parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton MessageBox::information(QWidget *parent, const QString &title,
                                                    const QString &text, QMessageBox::StandardButtons buttons,
                                                    QMessageBox::StandardButton defaultButton)
{
    return show(QMessageBox::Information, parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton MessageBox::question(QWidget *parent, const QString &title, const QString &text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton)
{
    return show(QMessageBox::Question, parent, title, text, buttons, defaultButton);
}

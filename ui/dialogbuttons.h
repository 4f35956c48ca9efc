// The confirm/cancel row every editor dialog ends with: named so that the
// dialog's on_buttonOk_clicked / on_buttonCancel_clicked slots connect by name.
#pragma once

class QDialog;
class QHBoxLayout;
class QPushButton;

class DialogButtons
{
public:
    // The row, right-aligned, with "Zatwierdź" as the default button.
    static QHBoxLayout *okCancel(QDialog *dialog, QPushButton **ok = nullptr, QPushButton **cancel = nullptr);
};

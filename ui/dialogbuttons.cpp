#include "ui/dialogbuttons.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>

QHBoxLayout *DialogButtons::okCancel(QDialog *dialog, QPushButton **ok, QPushButton **cancel)
{
    auto *okButton = new QPushButton(QDialog::tr("Zatwierdź"), dialog);
    okButton->setObjectName(QStringLiteral("buttonOk"));
    okButton->setDefault(true);
    auto *cancelButton = new QPushButton(QDialog::tr("Anuluj"), dialog);
    cancelButton->setObjectName(QStringLiteral("buttonCancel"));
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(okButton);
    row->addWidget(cancelButton);
    if (ok)
        *ok = okButton;
    if (cancel)
        *cancel = cancelButton;
    return row;
}

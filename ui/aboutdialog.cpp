#include "ui/aboutdialog.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

AboutDialog::AboutDialog(const QString &version, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("O programie"));
    auto *logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("labelLogo"));
    logo->setPixmap(QPixmap(QStringLiteral(":/images/tavrel_logo.png")));
    auto *name = new QLabel(QStringLiteral("<b>Velmora</b>"), this);
    name->setObjectName(QStringLiteral("labelName"));
    auto *ver = new QLabel(
        tr("Wersja: %1").arg(version.isEmpty() ? QCoreApplication::applicationVersion() : version), this);
    ver->setObjectName(QStringLiteral("labelVersion"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto *top = new QVBoxLayout(this);
    top->addWidget(logo, 0, Qt::AlignHCenter);
    top->addWidget(name, 0, Qt::AlignHCenter);
    top->addWidget(ver, 0, Qt::AlignHCenter);
    top->addWidget(buttons);
}

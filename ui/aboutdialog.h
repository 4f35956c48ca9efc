// The program's name, the maker's logo and the version.
#pragma once

#include <QDialog>

class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    // version: the application's version text (QCoreApplication's when empty).
    explicit AboutDialog(const QString &version = QString(), QWidget *parent = nullptr);
};

// Edits one serial parameter string "baud,bits,parity,stop,flow[/wiring/strict]".
// A real port's string never carries the driver options, so their combos are
// disabled for it and the result has no tail.
#pragma once

#include <QDialog>

class QComboBox;
class QIntValidator;

class EditSerialSettings : public QDialog
{
    Q_OBJECT
public:
    // The baud field's bounds: what may be typed, and what OK accepts.
    static constexpr int kTypedBaudMin = 2400;
    static constexpr int kBaudMin = 1200;
    static constexpr int kBaudMax = 10000000;

    explicit EditSerialSettings(QWidget *parent = nullptr);

    void setSettings(const QString &settings, bool realPort);
    QString settings() const;

public slots:
    void on_buttonOk_clicked();
    void on_buttonCancel_clicked();

private:
    QComboBox *m_baud;
    QComboBox *m_bits;
    QComboBox *m_parity;
    QComboBox *m_stop;
    QComboBox *m_flow;
    QComboBox *m_wiring;
    QComboBox *m_strict;
    bool m_realPort = false;
};

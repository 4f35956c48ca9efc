// The dialog in which the user deletes virtual port pairs of the driver:
// one row per pair, several may be selected, each deleted in turn.
#pragma once

#include "ports/vspportpair.h"

#include <QDialog>
#include <QVector>

class QLabel;
class QListWidget;
class QPushButton;
class VSPInterface;

class PortRemove : public QDialog
{
    Q_OBJECT
public:
    // vsp: the application's driver interface (may be null: no rows, nothing to delete).
    explicit PortRemove(VSPInterface *vsp, QWidget *parent = nullptr);

    // The row a pair shows: its visible end, or both ends when neither is hidden.
    static QString rowText(const VSPPortPair &pair);
    // The port a row deletes: its text up to the first "(", trimmed.
    static QString rowPortName(const QString &rowText);
    // Shows these pairs as the rows.
    void showPairs(const QVector<VSPPortPair> &pairs);
    // Deletes the selected rows' ports without asking, showing each failure and going on
    // with the next row, then refills the list; the number of failures.
    int removeSelectedPorts();

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();

private:
    void fillList();
    QStringList selectedTexts() const;

    VSPInterface *m_vsp;
    QLabel *m_label;
    QListWidget *m_list;
    QPushButton *m_remove;
    QPushButton *m_close;
};

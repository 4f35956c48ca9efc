// Picks one of the PC's own IPv4 addresses (for the PC's end of a PPP link).
#pragma once

#include <QDialog>
#include <QHostAddress>
#include <QList>

class IPHelper;
class QTableWidget;

class SelectLocalIP : public QDialog
{
    Q_OBJECT
public:
    struct Row {
        QHostAddress address;
        QString adapter;
    };

    // Reads the addresses through the IP helper (a private one when null).
    explicit SelectLocalIP(IPHelper *helper, QWidget *parent = nullptr);

    // The rows offered for these addresses: IPv4 only, no loopback, no multicast.
    static QList<Row> offered(const QList<Row> &all);
    void setRows(const QList<Row> &rows);
    QString result() const { return m_result; }

public slots:
    void on_buttonOk_clicked();
    void on_buttonCancel_clicked();
    void on_tableIP_cellDoubleClicked(int row, int column);

private:
    QTableWidget *m_table;
    QString m_result;
};

#include "ui/selectlocalip.h"

#include "platform/iphelper.h"
#include "ui/dialogbuttons.h"
#include "ui/messagebox.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

SelectLocalIP::SelectLocalIP(IPHelper *helper, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Wybór adresu IP"));
    m_table = new QTableWidget(0, 2, this);
    m_table->setObjectName(QStringLiteral("tableIP"));
    m_table->setHorizontalHeaderLabels({tr("Adres IP"), tr("Karta sieciowa")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();

    QHBoxLayout *buttons = DialogButtons::okCancel(this);
    auto *top = new QVBoxLayout(this);
    top->addWidget(m_table);
    top->addLayout(buttons);
    QMetaObject::connectSlotsByName(this);

    IPHelper own;
    IPHelper *h = helper ? helper : &own;
    h->updateAdapters();
    h->updateIPs();
    QList<Row> all;
    for (const LocalAddressEntry &e : h->getIPs())
        all.append(Row{e.address, e.adapterName});
    setRows(offered(all));
}

QList<SelectLocalIP::Row> SelectLocalIP::offered(const QList<Row> &all)
{
    // 224.0.0.0/4: multicast groups, never an address of the PC's end.
    static const QPair<QHostAddress, int> multicast(QHostAddress(QStringLiteral("224.0.0.0")), 4);
    QList<Row> out;
    for (const Row &r : all) {
        if (r.address.protocol() != QAbstractSocket::IPv4Protocol || r.address.isLoopback() ||
            r.address.isInSubnet(multicast))
            continue;
        out.append(r);
    }
    return out;
}

void SelectLocalIP::setRows(const QList<Row> &rows)
{
    m_table->setRowCount(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        m_table->setItem(i, 0, new QTableWidgetItem(rows[i].address.toString()));
        m_table->setItem(i, 1, new QTableWidgetItem(rows[i].adapter));
    }
    m_table->resizeColumnToContents(0);
}

void SelectLocalIP::on_buttonOk_clicked()
{
    const QList<QTableWidgetItem *> selected = m_table->selectedItems();
    if (selected.isEmpty()) {
        MessageBox::warning(this, tr("Ostrzeżenie"), tr("Nie wybrano adresu IP"));
        return;
    }
    m_result = m_table->item(selected.first()->row(), 0)->text();
    accept();
}

void SelectLocalIP::on_buttonCancel_clicked()
{
    reject();
}

void SelectLocalIP::on_tableIP_cellDoubleClicked(int row, int)
{
    m_table->selectRow(row);
    on_buttonOk_clicked();
}

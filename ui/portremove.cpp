#include "ui/portremove.h"

#include "ports/vspinterface.h"
#include "ui/messagebox.h"

#include <QAbstractItemView>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

PortRemove::PortRemove(VSPInterface *vsp, QWidget *parent) : QDialog(parent), m_vsp(vsp)
{
    setWindowTitle(QStringLiteral("Usuwanie portów"));
    auto *layout = new QVBoxLayout(this);
    m_label = new QLabel(QStringLiteral("Proszę wybrać porty szeregowe do usunięcia z systemu"), this);
    m_label->setWordWrap(true);
    layout->addWidget(m_label);
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("listWidget"));
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(m_list);
    auto *buttons = new QHBoxLayout;
    m_remove = new QPushButton(QStringLiteral("Usuń"), this);
    m_remove->setObjectName(QStringLiteral("pushButton"));
    buttons->addWidget(m_remove);
    buttons->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_close = new QPushButton(QStringLiteral("Zamknij"), this);
    m_close->setObjectName(QStringLiteral("pushButton_2"));
    buttons->addWidget(m_close);
    layout->addLayout(buttons);
    QMetaObject::connectSlotsByName(this);
    fillList();
}

QString PortRemove::rowText(const VSPPortPair &pair)
{
    const QLatin1String hidden("NULL_");
    if (pair.name.startsWith(hidden))
        return pair.peerName;
    if (pair.peerName.startsWith(hidden))
        return pair.name;
    return pair.name + QStringLiteral(" (") + pair.name + QStringLiteral("=>") + pair.peerName +
           QStringLiteral(")");
}

QString PortRemove::rowPortName(const QString &rowText)
{
    const int paren = rowText.indexOf(QLatin1Char('('));
    return (paren < 0 ? rowText : rowText.left(paren)).trimmed();
}

void PortRemove::showPairs(const QVector<VSPPortPair> &pairs)
{
    m_list->clear();
    for (const VSPPortPair &pair : pairs)
        m_list->addItem(rowText(pair));
}

void PortRemove::fillList()
{
    if (!m_vsp) {
        m_list->clear();
        return;
    }
    m_vsp->updatePortList();
    showPairs(m_vsp->portList());
}

QStringList PortRemove::selectedTexts() const
{
    // In the list's order, not the order the rows were clicked in.
    QStringList texts;
    for (int i = 0; i < m_list->count(); ++i)
        if (m_list->item(i)->isSelected())
            texts.append(m_list->item(i)->text());
    return texts;
}

int PortRemove::removeSelectedPorts()
{
    const QStringList rows = selectedTexts();
    int failures = 0;
    for (const QString &row : qAsConst(rows)) {
        // One port that cannot go must not keep the others.
        if (!m_vsp || !m_vsp->deletePort(rowPortName(row))) {
            ++failures;
            MessageBox::warning(this, QStringLiteral("Ostrzeżenie"),
                                QStringLiteral("Nie można usunąć portu: %1").arg(row), QMessageBox::Ok);
        }
    }
    fillList();
    return failures;
}

void PortRemove::on_pushButton_clicked()
{
    const QStringList texts = selectedTexts();
    if (texts.isEmpty()) {
        MessageBox::warning(this, QStringLiteral("Ostrzeżenie"),
                            QStringLiteral("Nie wybrano żadnego portu do usunięcia"), QMessageBox::Ok);
        return;
    }
    if (MessageBox::question(this, QStringLiteral("Pytanie"),
                             QStringLiteral("Czy usunąć porty: %1").arg(texts.join(QStringLiteral(", "))),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    removeSelectedPorts();
}

void PortRemove::on_pushButton_2_clicked()
{
    reject();
}

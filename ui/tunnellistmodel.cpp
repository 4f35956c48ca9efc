#include "ui/tunnellistmodel.h"

TunnelListModel::TunnelListModel(QVector<TunnelSettings> *configurations, QObject *parent)
    : QAbstractListModel(parent), m_configurations(configurations)
{
}

int TunnelListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() || !m_configurations)
        return 0;
    return m_configurations->size();
}

QVariant TunnelListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || !m_configurations ||
        index.row() >= m_configurations->size())
        return QVariant();
    return QVariant::fromValue(m_configurations->at(index.row()));
}

void TunnelListModel::append(const TunnelSettings &settings)
{
    const int row = m_configurations->size();
    beginInsertRows(QModelIndex(), row, row);
    m_configurations->append(settings);
    endInsertRows();
}

void TunnelListModel::remove(int row)
{
    if (row < 0 || row >= m_configurations->size())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_configurations->remove(row);
    endRemoveRows();
}

void TunnelListModel::refresh(int row)
{
    const QModelIndex i = index(row);
    if (i.isValid())
        emit dataChanged(i, i);
}

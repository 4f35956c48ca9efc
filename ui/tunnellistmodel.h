// The configurations as list rows, in the order of the application's vector
// (which it does not own). A row's display data is a copy of its record.
#pragma once

#include "config/tunnelsettings.h"

#include <QAbstractListModel>
#include <QVector>

class TunnelListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit TunnelListModel(QVector<TunnelSettings> *configurations, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    void append(const TunnelSettings &settings);
    void remove(int row);
    // The row's record changed in the vector: repaint it.
    void refresh(int row);
    // The whole vector is about to be replaced (a reload) and has been.
    void beginReset() { beginResetModel(); }
    void endReset() { endResetModel(); }

private:
    QVector<TunnelSettings> *m_configurations;
};

// Paints one configuration as a block of text: its number and description,
// the start and restart settings, a grid of channels and the state, and the
// last error. The same layout pass, without a painter, gives the row height.
#pragma once

#include <QStyledItemDelegate>

class TunnelSettings;

class TunnelListItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit TunnelListItemDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    static QColor stateColor(int state);
    // The text of the second line, empty when neither autostart nor autorestart is set.
    static QString restartLine(const TunnelSettings &settings);

private:
    // Lays the row out in rect; paints when painter is set. Returns the height used.
    int layout(QPainter *painter, const QRect &rect, int row, const TunnelSettings &settings) const;
};

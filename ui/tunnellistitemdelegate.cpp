#include "ui/tunnellistitemdelegate.h"

#include "config/tunnelsettings.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>

namespace
{
constexpr int kMargin = 4;
constexpr int kTitleGap = 20;
constexpr double kLineFactor = 1.3;
constexpr int kColumnGap = 12;

QFont regularFont()
{
    return QFont(QStringLiteral("Helvetica"), 10);
}

QFont boldFont()
{
    QFont f = regularFont();
    f.setWeight(75);
    return f;
}

QFont statusFont()
{
    QFont f(QStringLiteral("Helvetica"), 12);
    f.setWeight(75);
    return f;
}

struct GridLine {
    QString label;
    QString first;
    QString second;
};

// Height of text word-wrapped to width (and painted at top-left when painter is set).
int wrappedText(QPainter *painter, const QFont &font, const QString &text, int left, int top, int width)
{
    // Each line of the text (an error, then the supervisor's note) starts a new line.
    QString lines = text;
    lines.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(lines, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const QFontMetrics fm(font);
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(qMax(width, 1));
        line.setPosition(QPointF(0, height));
        height += fm.height();
    }
    layout.endLayout();
    if (painter)
        layout.draw(painter, QPointF(left, top));
    return int(height + 0.5);
}
} // namespace

TunnelListItemDelegate::TunnelListItemDelegate(QObject *parent) : QStyledItemDelegate(parent) {}

QColor TunnelListItemDelegate::stateColor(int state)
{
    switch (state) {
    case TunnelSettings::Starting:
        return QColor(Qt::darkYellow);
    case TunnelSettings::Running:
        return QColor(Qt::darkGreen);
    case TunnelSettings::Stopping:
        return QColor(Qt::darkBlue);
    case TunnelSettings::StoppedError:
        return QColor(Qt::red);
    default:
        return QColor(Qt::black);
    }
}

QString TunnelListItemDelegate::restartLine(const TunnelSettings &s)
{
    QString text;
    if (s.autostart)
        text += tr("Autostart włączony. ");
    if (s.autorestart) {
        text += tr("Autorestart włączony, co %1 sekund, ").arg(s.restart_delay);
        text += s.restart_limit == 0 ? tr(" nieograniczony") : tr(" maksymalnie %1").arg(s.restart_limit);
    }
    return text;
}

void TunnelListItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                   const QModelIndex &index) const
{
    // Background, selection and focus from the style, without the display text.
    QStyleOptionViewItem base = option;
    initStyleOption(&base, index);
    base.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : nullptr;
    if (style)
        style->drawControl(QStyle::CE_ItemViewItem, &base, painter, widget);

    const TunnelSettings settings = index.data(Qt::DisplayRole).value<TunnelSettings>();
    painter->save();
    painter->setClipRect(option.rect);
    layout(painter, option.rect, index.row(), settings);
    painter->setPen(QPen(Qt::black, 1));
    painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
    painter->restore();
}

QSize TunnelListItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    int width = option.rect.width();
    if (const auto *view = qobject_cast<const QAbstractItemView *>(option.widget))
        width = view->viewport()->width();
    if (width <= 2 * kMargin)
        width = 600;
    const TunnelSettings settings = index.data(Qt::DisplayRole).value<TunnelSettings>();
    return QSize(width, layout(nullptr, QRect(0, 0, width, 0), index.row(), settings));
}

int TunnelListItemDelegate::layout(QPainter *painter, const QRect &rect, int row,
                                   const TunnelSettings &s) const
{
    const QRect inner = rect.adjusted(kMargin, kMargin, -kMargin, 0);
    const QFont regular = regularFont();
    const QFont bold = boldFont();
    const QFontMetrics rm(regular);
    const QFontMetrics bm(bold);
    const int step = int(kLineFactor * bm.height() + 0.5);
    int y = inner.top();

    // Heading: the row number in a thin frame, then the description.
    const QString number = QStringLiteral(" %1 ").arg(row + 1);
    const int numberWidth = bm.horizontalAdvance(number) + 2;
    const int descLeft = inner.left() + numberWidth + 6;
    const QString description =
        bm.elidedText(s.description, Qt::ElideRight, qMax(0, inner.right() - descLeft - kTitleGap));
    if (painter) {
        painter->setFont(bold);
        painter->setPen(QPen(Qt::black, 1));
        const QRect frame(inner.left(), y, numberWidth, bm.height() + 2);
        painter->drawRect(frame);
        painter->drawText(frame, Qt::AlignCenter, number);
        painter->drawText(QRect(descLeft, y + 1, inner.right() - descLeft, bm.height()),
                          Qt::AlignLeft | Qt::AlignVCenter, description);
    }
    y += bm.height() + 2 + (step - bm.height());

    const QString second = restartLine(s);
    if (!second.isEmpty()) {
        if (painter) {
            painter->setFont(regular);
            painter->setPen(Qt::black);
            painter->drawText(QRect(inner.left(), y, inner.width(), rm.height()),
                              Qt::AlignLeft | Qt::AlignVCenter,
                              rm.elidedText(second, Qt::ElideRight, inner.width()));
        }
        y += step;
    }

    // The channel grid: blocks separated by thin lines.
    QVector<QVector<GridLine>> blocks;
    if (s.mode == TunnelSettings::PPP)
        blocks.append({{tr("Tryb PPP"), s.tunnel_com, s.tunnel_localip}});
    blocks.append({{tr("Kanał int. PC"), s.data_com, s.data_ip}, {tr("Monitor trans."), s.tm_com, s.tm_ip}});
    if (!s.proxy_com.isEmpty()) {
        QVector<GridLine> tunnels;
        for (int i = 0; i < s.proxy_com.size(); ++i) {
            tunnels.append({tr("Tunel   "), s.proxy_com.value(i), s.proxy_data.value(i) + tr(" (dane)")});
            tunnels.append({QString(), QString(), s.proxy_ctrl.value(i) + tr(" (sterowanie)")});
        }
        blocks.append(tunnels);
    }

    const QString statusLabel = tr("Status");
    int labelWidth = bm.horizontalAdvance(statusLabel);
    int firstWidth = 0;
    for (const auto &block : blocks)
        for (const GridLine &line : block) {
            labelWidth = qMax(labelWidth, bm.horizontalAdvance(line.label));
            firstWidth = qMax(firstWidth, rm.horizontalAdvance(line.first));
        }
    const int valueLeft = inner.left() + qMax(labelWidth + kColumnGap, 40);
    const int secondLeft = valueLeft + qMax(firstWidth, 80) + 3 * kColumnGap;

    auto separator = [&]() {
        if (painter) {
            painter->setPen(QPen(Qt::black, 0));
            painter->drawLine(inner.left(), y + 1, inner.right(), y + 1);
        }
        y += 3;
    };
    for (const auto &block : blocks) {
        separator();
        for (const GridLine &line : block) {
            if (painter) {
                painter->setPen(Qt::black);
                painter->setFont(bold);
                painter->drawText(QRect(inner.left(), y, valueLeft - inner.left(), step),
                                  Qt::AlignLeft | Qt::AlignVCenter, line.label);
                painter->setFont(regular);
                painter->drawText(QRect(valueLeft, y, secondLeft - valueLeft, step),
                                  Qt::AlignLeft | Qt::AlignVCenter, line.first);
                painter->drawText(QRect(secondLeft, y, qMax(0, inner.right() - secondLeft), step),
                                  Qt::AlignLeft | Qt::AlignVCenter, line.second);
            }
            y += step;
        }
    }

    // The state, coloured, and the last error below it.
    separator();
    const QFont sf = statusFont();
    const int statusStep = qMax(step, int(kLineFactor * QFontMetrics(sf).height() + 0.5));
    if (painter) {
        painter->setPen(Qt::black);
        painter->setFont(bold);
        painter->drawText(QRect(inner.left(), y, valueLeft - inner.left(), statusStep),
                          Qt::AlignLeft | Qt::AlignVCenter, statusLabel);
        painter->setFont(sf);
        painter->setPen(stateColor(s.state));
        painter->drawText(QRect(valueLeft, y, qMax(249, inner.right() - valueLeft), statusStep),
                          Qt::AlignLeft | Qt::AlignVCenter, TunnelSettings::stateName(s.state));
    }
    y += statusStep;
    if (!s.last_error.isEmpty()) {
        if (painter)
            painter->setPen(Qt::red);
        y += wrappedText(painter, regular, s.last_error, inner.left(), y, inner.width());
    }
    return y + kMargin - rect.top();
}

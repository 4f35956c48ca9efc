#include "ui/ipv4validator.h"

#include <QStringList>

IPv4Validator::IPv4Validator(QObject *parent) : QValidator(parent) {}

QValidator::State IPv4Validator::check(const QString &input)
{
    if (input.isEmpty())
        return Acceptable;
    const QStringList parts = input.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() > 4)
        return Invalid;
    int filled = 0;
    for (const QString &part : parts) {
        if (part.isEmpty())
            continue;
        // Digits only: toInt alone would also take "+1" or " 1".
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
        bool ok = false;
        const int value = part.toInt(&ok);
        if (!ok || value > 255)
            return Invalid;
        ++filled;
    }
    return filled == 4 ? Acceptable : Intermediate;
}

QValidator::State IPv4Validator::validate(QString &input, int &) const
{
    return check(input);
}

#include "wizard/tavrelrequest.h"

TavrelRequest::TavrelRequest(const QString &name, const QString &command, const QStringList &params)
    : name(name), command(command), params(params)
{
}

TavrelRequest::TavrelRequest(const RequestEntry &entry)
    : TavrelRequest(entry.name, entry.command, entry.params)
{
}

QString TavrelRequest::paramText() const
{
    QStringList pairs;
    for (int i = 0; i + 1 < params.size(); i += 2)
        pairs << params.at(i) + QLatin1Char(',') + params.at(i + 1);
    return pairs.join(QLatin1Char('\n')).trimmed();
}

bool TavrelRequest::isWellFormed(QString *what) const
{
    if (params.size() % 2 != 0) {
        if (what)
            *what = params.last();
        return false;
    }
    for (const QString &p : params) {
        if (p.contains(QLatin1Char(',')) || p.contains(QLatin1Char('\n')) || p.contains(QLatin1Char('\r'))) {
            if (what)
                *what = p;
            return false;
        }
    }
    return true;
}

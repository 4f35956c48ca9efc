// Accepts dotted IPv4 addresses as they are typed: an empty field is fine,
// a partly typed address is intermediate, and a part that can never become
// valid (letters, a number above 255, a fifth part) is refused outright.
#pragma once

#include <QValidator>

class IPv4Validator : public QValidator
{
    Q_OBJECT
public:
    explicit IPv4Validator(QObject *parent = nullptr);
    State validate(QString &input, int &pos) const override;
    // The same verdict for code that has no cursor position.
    static State check(const QString &input);
};

#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <initializer_list>

// printf-style formatting with the platform's "%@" for objects, filled in one pass: a
// "%" inside an argument is never read as a directive.
class FormatArg {
public:
    FormatArg(const QString& text) : kind_(Text), text_(text.isNull() ? QStringLiteral("(null)") : text) {}
    FormatArg(const char* text) : FormatArg(text ? QString::fromUtf8(text) : QString()) {}
    FormatArg(const QByteArray& utf8) : FormatArg(QString::fromUtf8(utf8)) {}
    FormatArg(const QVariant& value);
    FormatArg(const QStringList& list) : FormatArg(QVariant(list)) {}
    FormatArg(int v) : kind_(Signed), i_(v) {}
    FormatArg(long v) : kind_(Signed), i_(v) {}
    FormatArg(long long v) : kind_(Signed), i_(v) {}
    FormatArg(unsigned v) : kind_(Unsigned), u_(v) {}
    FormatArg(unsigned long v) : kind_(Unsigned), u_(v) {}
    FormatArg(unsigned long long v) : kind_(Unsigned), u_(v) {}
    FormatArg(double v) : kind_(Real), d_(v) {}

    enum Kind { Text, Signed, Unsigned, Real };
    Kind kind() const { return kind_; }
    QString text() const;
    long long asSigned() const;
    unsigned long long asUnsigned() const;
    double asReal() const;

private:
    Kind kind_;
    QString text_;
    long long i_ = 0;
    unsigned long long u_ = 0;
    double d_ = 0;
};

QString formatString(const char* pattern, std::initializer_list<FormatArg> args);

template <typename... Args>
QString fmt(const char* pattern, const Args&... args) {
    return formatString(pattern, {FormatArg(args)...});
}

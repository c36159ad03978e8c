#include "platform/core/Format.h"

#include "platform/core/Description.h"

#include <cstdio>
#include <string>

FormatArg::FormatArg(const QVariant& value) : kind_(Text), text_(Description::describe(value)) {}

QString FormatArg::text() const {
    switch (kind_) {
        case Text: return text_;
        case Signed: return QString::number(i_);
        case Unsigned: return QString::number(u_);
        case Real: return QString::number(d_);
    }
    return text_;
}

long long FormatArg::asSigned() const {
    switch (kind_) {
        case Signed: return i_;
        case Unsigned: return static_cast<long long>(u_);
        case Real: return static_cast<long long>(d_);
        case Text: return text_.toLongLong();
    }
    return 0;
}

unsigned long long FormatArg::asUnsigned() const {
    return kind_ == Unsigned ? u_ : static_cast<unsigned long long>(asSigned());
}

double FormatArg::asReal() const {
    switch (kind_) {
        case Real: return d_;
        case Signed: return static_cast<double>(i_);
        case Unsigned: return static_cast<double>(u_);
        case Text: return text_.toDouble();
    }
    return 0;
}

namespace {

QString formatNumber(const std::string& flags, char conversion, const FormatArg& arg) {
    char buffer[128];
    std::string directive = "%" + flags;
    switch (conversion) {
        case 'd':
        case 'i':
            directive += "lld";
            std::snprintf(buffer, sizeof buffer, directive.c_str(), arg.asSigned());
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            directive += "ll";
            directive += conversion;
            std::snprintf(buffer, sizeof buffer, directive.c_str(), arg.asUnsigned());
            break;
        case 'c':
            directive += 'c';
            std::snprintf(buffer, sizeof buffer, directive.c_str(), static_cast<int>(arg.asSigned()));
            break;
        default:  // f, e, g and their capitals
            directive += conversion;
            std::snprintf(buffer, sizeof buffer, directive.c_str(), arg.asReal());
            break;
    }
    return QString::fromLatin1(buffer);
}

// "%s" and "%@" honour a precision (the most characters) and a width.
QString formatText(const std::string& flags, const QString& text) {
    QString out = text;
    const size_t dot = flags.find('.');
    if (dot != std::string::npos) out.truncate(std::atoi(flags.c_str() + dot + 1));
    const bool left = flags.find('-') != std::string::npos;
    const size_t widthAt = flags.find_first_not_of("-+ #0");
    const int width = widthAt == std::string::npos ? 0 : std::atoi(flags.c_str() + widthAt);
    if (width > out.size()) out = left ? out.leftJustified(width) : out.rightJustified(width);
    return out;
}

}  // namespace

QString formatString(const char* pattern, std::initializer_list<FormatArg> args) {
    QString out;
    auto next = args.begin();
    const char* p = pattern;
    const char* literal = p;
    auto flushLiteral = [&](const char* end) { out += QString::fromUtf8(literal, end - literal); };
    while (*p) {
        if (*p != '%') {
            ++p;
            continue;
        }
        flushLiteral(p);
        const char* start = ++p;
        if (*p == '%') {
            out += QLatin1Char('%');
            literal = ++p;
            continue;
        }
        while (*p && std::string("-+ #0123456789.").find(*p) != std::string::npos) ++p;
        const std::string flags(start, p);
        while (*p == 'l' || *p == 'h' || *p == 'q' || *p == 'z' || *p == 'j' || *p == 't') ++p;
        const char conversion = *p;
        if (!conversion) break;
        ++p;
        literal = p;
        if (next == args.end()) {
            out += QStringLiteral("(null)");
            continue;
        }
        const FormatArg& arg = *next++;
        if (conversion == '@' || conversion == 's') {
            out += formatText(flags, arg.text());
        } else {
            out += formatNumber(flags, conversion, arg);
        }
    }
    flushLiteral(p);
    return out;
}

#include "textrules.h"

#include <charconv>
#include <cmath>

namespace textrules {

namespace {
bool isBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }
bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }
} // namespace

double numericValue(const QString &text)
{
    // Blanks are ignored wherever they stand, so "1 0" reads as 10.
    QString s;
    s.reserve(text.size());
    for (QChar c : text)
        if (!isBlank(c))
            s.append(c);

    qsizetype i = 0;
    const qsizetype n = s.size();
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        ++i;
    const qsizetype digitsStart = i;
    while (i < n && isDigit(s[i]))
        ++i;
    bool anyDigit = i > digitsStart;
    if (i < n && s[i] == u'.') {
        qsizetype j = i + 1;
        while (j < n && isDigit(s[j]))
            ++j;
        anyDigit = anyDigit || j > i + 1;
        i = j;
    }
    if (!anyDigit)
        return 0.0;
    qsizetype end = i;
    if (i < n && (s[i] == u'e' || s[i] == u'E')) {
        qsizetype j = i + 1;
        if (j < n && (s[j] == u'+' || s[j] == u'-'))
            ++j;
        const qsizetype expDigits = j;
        while (j < n && isDigit(s[j]))
            ++j;
        if (j > expDigits)
            end = j;
    }
    // from_chars is locale-independent; a number too large for a double reads as infinity.
    const QByteArray latin = s.left(end).toLatin1();
    const char *first = latin.constData();
    if (*first == '+')
        ++first;
    double v = 0.0;
    const auto [ptr, ec] = std::from_chars(first, latin.constData() + latin.size(), v);
    if (ec == std::errc::result_out_of_range) {
        const qsizetype e = latin.indexOf('e') >= 0 ? latin.indexOf('e') : latin.indexOf('E');
        if (e >= 0 && latin.indexOf('-', e) > e)
            return 0.0; // underflow
        return latin.startsWith('-') ? -HUGE_VAL : HUGE_VAL;
    }
    return ec == std::errc() ? v : 0.0;
}

QString plainNumber(qint64 n) { return QString::number(n); }

QString signedNumber(qint64 n)
{
    return n < 0 ? QString::number(n) : u' ' + QString::number(n);
}

QString printedNumber(qint64 n) { return signedNumber(n) + u' '; }

QString samplesText(quint64 n)
{
    return n == 1 ? QStringLiteral("1 muestra") : QStringLiteral("%1 muestras").arg(n);
}

} // namespace textrules

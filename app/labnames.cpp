#include "labnames.h"

#include "mqttoptions.h"

namespace labnames {

bool isFilter(const QString &topic)
{
    return topic.contains(u'+') || topic.contains(u'#');
}

QString filterProblem(const QString &filter, const QString &option)
{
    const QStringList levels = filter.split(u'/');
    for (qsizetype i = 0; i < levels.size(); ++i) {
        const QString &level = levels[i];
        if ((level.contains(u'#') && (level != u"#" || i != levels.size() - 1))
            || (level.contains(u'+') && level != u"+"))
            return QStringLiteral("%1 «%2» no vale: + ocupa un nivel entero del tema (lab/+/datos) y # solo el "
                                  "último (lab/#).").arg(option, filter);
    }
    // The rest as for a topic, wildcards apart.
    QString plain = filter;
    plain.replace(u'+', u'x').replace(u'#', u'x');
    return topicProblem(plain, option);
}

QStringList subscriptions(const QString &filter, const QString &subtopic)
{
    if (!filter.endsWith(u'#'))
        return {filter + u'/' + subtopic};
    QString prefix = filter.chopped(1); // "lab/" or ""
    QStringList out;
    if (!prefix.isEmpty())
        out << prefix.chopped(1) + u'/' + subtopic; // "lab/#" matches "lab" itself
    for (int depth = 1; depth <= kHashDepth; ++depth) {
        prefix += QStringLiteral("+/");
        out << prefix + subtopic;
    }
    return out;
}

QByteArray fileStem(const QString &benchTopic)
{
    const QByteArray utf8 = benchTopic.toUtf8();
    QByteArray out;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                           || (c == '.' && i > 0);
        if (plain)
            out += c;
        else
            out += '%' + QByteArray::number(uchar(c), 16).toUpper().rightJustified(2, '0');
    }
    return out.isEmpty() ? QByteArrayLiteral("%") : out; // "%" alone: the empty topic, which no bench has
}

QString topicOfStem(const QByteArray &stem)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(stem));
}

QByteArray startStamp(const QDateTime &start)
{
    return start.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH-mm-ss.zzzZ")).toLatin1();
}

} // namespace labnames

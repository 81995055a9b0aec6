#include "recordingsupport.h"

#include "waveform.h"

#include <QFile>
#include <QProcessEnvironment>

QString Csv::header(const QString &key) const
{
    const QString prefix = QStringLiteral("# %1: ").arg(key);
    for (const QString &c : comments)
        if (c.startsWith(prefix))
            return c.mid(prefix.size());
    return {};
}

Csv readCsv(const QString &path)
{
    Csv c;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return c;
    const QByteArray all = f.readAll();
    c.endsWithLineEnd = all.endsWith("\r\n");
    bool header = false;
    for (const QByteArray &line : all.split('\n')) {
        if (line.isEmpty())
            continue;
        const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
        if (l.startsWith('#')) {
            c.comments << QString::fromUtf8(l);
        } else if (!header) {
            header = l == "muestra,tiempo_s,valor";
            if (!header)
                c.damaged << QString::fromUtf8(l);
        } else {
            const QList<QByteArray> cells = l.split(',');
            bool ok1 = false, ok2 = false, ok3 = false;
            if (cells.size() == 3) {
                c.numbers << cells[0].toLongLong(&ok1);
                c.times << cells[1].toDouble(&ok2);
                c.values << cells[2].toInt(&ok3);
            }
            if (!(ok1 && ok2 && ok3))
                c.damaged << QString::fromUtf8(l);
        }
    }
    return c;
}

QByteArray boardBytes(qint64 first, qint64 count)
{
    QByteArray out;
    for (qint64 i = first; i < first + count; ++i) {
        const quint16 v = boardsim::sampleAt(quint64(i));
        out.append(char(v & 0xff)).append(char(v >> 8));
    }
    return out;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Board::Board(const QStringList &args)
{
    process.start(QStringLiteral(BOARDSIM_BINARY), args);
    if (process.waitForReadyRead(10000))
        path = QString::fromLocal8Bit(process.readLine().trimmed());
}

Board::~Board()
{
    process.terminate();
    process.waitForFinished(5000);
}

void RunningProgram::start(const QStringList &args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")); // a window would abort it
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(DISPVANTO_BINARY), args);
}

QString RunningProgram::errors()
{
    errorBytes += process.readAllStandardError();
    return QString::fromLocal8Bit(errorBytes);
}

int RunningProgram::wait(int ms)
{
    process.waitForFinished(ms);
    errors();
    if (process.state() != QProcess::NotRunning)
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

RunningProgram::~RunningProgram()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

qint64 linesIn(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
}

int runLogger(const QStringList &args, QString *errors, const QString &shellPrefix, const QString &workingDir)
{
    QProcess p;
    if (!workingDir.isEmpty())
        p.setWorkingDirectory(workingDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")); // a window would abort it
    p.setProcessEnvironment(env);
    if (shellPrefix.isEmpty()) {
        p.start(QStringLiteral(DISPVANTO_BINARY), QStringList{QStringLiteral("--sin-ventanas")} + args);
    } else {
        QStringList quoted;
        for (const QString &a : args)
            quoted << QStringLiteral("'%1'").arg(a);
        p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellPrefix + QStringLiteral("; exec '%1' --sin-ventanas %2")
                                                                                   .arg(QStringLiteral(DISPVANTO_BINARY), quoted.join(u' '))});
    }
    p.waitForFinished(60000);
    if (errors)
        *errors = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QList<int> boardValues(qint64 first, qint64 count)
{
    QList<int> v;
    for (qint64 i = first; i < first + count; ++i)
        v << boardsim::sampleAt(quint64(i));
    return v;
}

QList<qint64> numbered(qint64 count)
{
    QList<qint64> n;
    for (qint64 i = 0; i < count; ++i)
        n << i;
    return n;
}


#pragma once

// What the recording tests share: the simulated board as a process, the logger as a user runs
// it, and the files read back as a user would read them.

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

struct Csv
{
    QStringList comments;
    QList<qint64> numbers;
    QList<int> values;
    QList<double> times;
    QStringList damaged; ///< lines that are neither a comment nor a well-formed row
    bool endsWithLineEnd = false;
    /// The value of a "# clave: valor" header line.
    QString header(const QString &key) const;
};

Csv readCsv(const QString &path);
QByteArray readAll(const QString &path);
/// What the simulated board sends: its samples from first on, as bytes or values.
QByteArray boardBytes(qint64 first, qint64 count);
QList<int> boardValues(qint64 first, qint64 count);
QList<qint64> numbered(qint64 count);

/// The simulated board, started for one test; its path is empty when it could not start.
struct Board
{
    QProcess process;
    QString path;
    explicit Board(const QStringList &args);
    ~Board();
};

/// The logger (or the windowed program) as a process of its own that the test watches while it
/// runs: its stderr gathered as it comes.
struct RunningProgram
{
    QProcess process;
    QByteArray errorBytes;
    /// Starts the real program with these arguments, with no display (--sin-ventanas is not added).
    void start(const QStringList &args);
    /// What it wrote on stderr so far.
    QString errors();
    /// Waits for its end: its exit status, or -1 when it crashed or is still running.
    int wait(int ms = 60000);
    ~RunningProgram();
};

/// Complete lines in a file as it is now (0 when it does not exist).
qint64 linesIn(const QString &path);

/// The logger, as a user runs it, with no display: its exit status (-1 when it crashed).
/// shellPrefix runs first in a shell (e.g. "ulimit -f 64"); workingDir: where it runs.
int runLogger(const QStringList &args, QString *errors = nullptr, const QString &shellPrefix = QString(),
              const QString &workingDir = QString());

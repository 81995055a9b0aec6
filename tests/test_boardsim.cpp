// The simulated board's command line: it runs exactly what it was told, or refuses before
// it opens anything.

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestBoardsim : public QObject
{
    Q_OBJECT
private slots:
    void refusesWhatItCannotFollowExactly_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::newRow("negative count") << QStringList{"--count", "-5"} << 2 << "--count necesita un número entero de muestras";
        QTest::newRow("count not a number") << QStringList{"--count", "abc"} << 2 << "«abc»";
        QTest::newRow("empty count") << QStringList{"--flat", "--count", ""} << 2 << "«»";
        QTest::newRow("baud with letters after") << QStringList{"--baud", "9600x"} << 2 << "--baud necesita un número entero de baudios";
        QTest::newRow("baud with a sign") << QStringList{"--baud", "+9600"} << 2 << "«+9600»";
        QTest::newRow("linger with a unit") << QStringList{"--linger", "2s"} << 2 << "--linger necesita los segundos";
        QTest::newRow("linger beyond a day") << QStringList{"--linger", "90000"} << 2 << "«90000»";
        QTest::newRow("folder to play back") << QStringList{"--flat", "--archivo", "FOLDER"} << 1 << "es una carpeta, no una grabación";
    }
    void refusesWhatItCannotFollowExactly()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, says);
        QTemporaryDir dir;
        args.replaceInStrings(QStringLiteral("FOLDER"), dir.path());
        QProcess board;
        board.start(QStringLiteral(BOARDSIM_BINARY), args);
        QVERIFY(board.waitForFinished(10000));
        const QString errors = QString::fromUtf8(board.readAllStandardError());
        QCOMPARE(board.exitStatus(), QProcess::NormalExit);
        QCOMPARE(board.exitCode(), status);
        QVERIFY2(errors.startsWith(QStringLiteral("boardsim: ")) && errors.contains(says), qPrintable(errors));
        QCOMPARE(board.readAllStandardOutput(), QByteArray()); // no terminal was offered
    }

    void helpNamesTheProgramAsItWasRun_data()
    {
        QTest::addColumn<QString>("binary");
        QTest::addColumn<QString>("usage");
        QTest::newRow("build tree") << QStringLiteral(BOARDSIM_BINARY) << "Uso: boardsim [opciones]\n";
        QTest::newRow("installed name") << QStringLiteral(PLACA_BINARY) << "Uso: dispvanto-placa [opciones]\n";
    }
    void helpNamesTheProgramAsItWasRun()
    {
        QFETCH(QString, binary);
        QFETCH(QString, usage);
        QProcess board;
        board.start(binary, {QStringLiteral("--help")});
        QVERIFY(board.waitForFinished(10000));
        QCOMPARE(board.exitCode(), 0);
        const QString out = QString::fromUtf8(board.readAllStandardOutput());
        QVERIFY2(out.startsWith(usage), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestBoardsim)
#include "test_boardsim.moc"

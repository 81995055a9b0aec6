// The acquisition core without any window: the decoder, the waiting backlog, device names,
// the serial control over real pseudo-terminals, the consumers and who decides reception.

#include "acquisitiontestaccess.h"
#include "acquisition.h"
#include "decoder.h"
#include "devicenames.h"
#include "platformerror.h"
#include "sampleconsumer.h"
#include "serialcontrol.h"
#include "serialsettingsstring.h"
#include "testpty.h"
#include "waitingbacklog.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <new>

class TestCore : public QObject
{
    Q_OBJECT
private slots:
    // --- decoder -------------------------------------------------------------------------

    void decoderPairsBytesLowFirst_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("counter");
        QTest::addColumn<int>("newest");
        QTest::addColumn<int>("phase");
        QTest::newRow("low byte alone changes nothing") << QByteArray("\x34", 1) << -1 << 0 << 1;
        QTest::newRow("first sample goes to slot 1") << QByteArray("\x34\x12", 2) << 1 << 4660 << 0;
        QTest::newRow("zero") << QByteArray("\x00\x00", 2) << 1 << 0 << 0;
        QTest::newRow("largest") << QByteArray("\xff\xff", 2) << 1 << 65535 << 0;
        QTest::newRow("odd byte waits for its partner") << QByteArray("\x01\x02\x03", 3) << 1 << 513 << 1;
        QTest::newRow("two samples") << QByteArray("\x01\x00\x02\x00", 4) << 2 << 2 << 0;
    }
    void decoderPairsBytesLowFirst()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, counter);
        QFETCH(int, newest);
        QFETCH(int, phase);
        Kyrserie k;
        DecoderState d;
        int completed = 0;
        for (char b : bytes)
            completed += decodeByte(d, k, quint8(b));
        QCOMPARE(completed, bytes.size() / 2);
        if (counter < 0) {
            QVERIFY(!k.contador.isSet());
        } else {
            QCOMPARE(k.contador.value(), counter);
            QCOMPARE(k.valores[counter], newest);
        }
        QCOMPARE(d.fase, qint16(phase));
    }

    void counterWrapsAtTheThousandthSample()
    {
        Kyrserie k;
        DecoderState d;
        for (int i = 1; i <= 1001; ++i) {
            decodeByte(d, k, quint8(i & 0xff));
            decodeByte(d, k, quint8(i >> 8));
            if (i == 999)
                QCOMPARE(k.contador.value(), 999);
        }
        QCOMPARE(k.contador.value(), 1);
        QCOMPARE(k.valores[0], 1000); // the 1000th sample went to slot 0
        QCOMPARE(k.valores[1], 1001);
        QCOMPARE(k.valores[999], 999);
        QCOMPARE(k.valores[1000], 0); // never written
    }

    // --- settings strings ----------------------------------------------------------------

    void settingsStringsAcceptedOrRefused_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("9600,N,8,1") << "9600,N,8,1" << true;
        QTest::newRow("300,E,7,2") << "300,E,7,2" << true;
        QTest::newRow("lower-case parity") << "9600,n,8,1" << true;
        QTest::newRow("110 mark 5 bits") << "110,M,5,1" << true;
        QTest::newRow("921600 space 1.5") << "921600,S,6,1.5" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("only baud") << "9600," << false;
        QTest::newRow("missing stop") << "9600,N,8," << false;
        QTest::newRow("six data bits from a file") << "9600,N,6,1" << true;
        QTest::newRow("nine data bits") << "9600,N,9,1" << false;
        QTest::newRow("odd baud") << "9601,N,8,1" << false;
        QTest::newRow("baud with blank") << " 9600,N,8,1" << false;
        QTest::newRow("parity X") << "9600,X,8,1" << false;
        QTest::newRow("stop 3") << "9600,N,8,3" << false;
        QTest::newRow("extra field") << "9600,N,8,1,1" << false;
        QTest::newRow("baud overflow") << "99999999999,N,8,1" << false;
    }
    void settingsStringsAcceptedOrRefused()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QString why;
        const auto parsed = parseLineSettings(text, &why);
        QCOMPARE(parsed.has_value(), accepted);
        QCOMPARE(why.isEmpty(), accepted);
    }

    void parsedSettingsCarryEveryField()
    {
        const auto s = parseLineSettings(QStringLiteral("300,E,7,2"));
        QVERIFY(s);
        QCOMPARE(s->baud, 300);
        QCOMPARE(s->parity, QSerialPort::EvenParity);
        QCOMPARE(s->dataBits, QSerialPort::Data7);
        QCOMPARE(s->stopBits, QSerialPort::TwoStop);
    }

    // --- serial control ------------------------------------------------------------------

    void controlStartsClosedOnCom1With9600N81()
    {
        SerialControl c;
        QCOMPARE(c.PortOpen(), false);
        QCOMPARE(c.CommPort(), qint16(1));
        QCOMPARE(c.Settings(), QStringLiteral("9600,N,8,1"));
        QCOMPARE(c.RThreshold(), qint16(0));
        QCOMPARE(c.device(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(c.device(2), QStringLiteral("/dev/ttyS1"));
        c.setDevice(2, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(c.device(2), QStringLiteral("/dev/ttyUSB0"));
    }

    void refusedSettingsKeepThePrevious()
    {
        SerialControl c;
        c.setSettings(QStringLiteral("300,E,7,2"));
        QVERIFY_THROWS_EXCEPTION(PlatformError, c.setSettings(QStringLiteral("9600,N,8,")));
        QCOMPARE(c.Settings(), QStringLiteral("300,E,7,2"));
        QVERIFY_THROWS_EXCEPTION(PlatformError, c.setCommPort(0));
        QCOMPARE(c.CommPort(), qint16(1));
    }

    void openingAMissingDeviceNamesIt()
    {
        SerialControl c;
        c.setDevice(1, QStringLiteral("/dev/no-such-port"));
        try {
            c.setPortOpen(true);
            QFAIL("opening a missing device succeeded");
        } catch (const PlatformError &e) {
            QVERIFY2(e.message().contains(QStringLiteral("/dev/no-such-port")), qPrintable(e.message()));
            QVERIFY(e.message().contains(QStringLiteral("COM1")));
        }
        QVERIFY(!c.PortOpen());
    }

    void portSwitchRefusedWhileOpen()
    {
        Pty pty;
        SerialControl c;
        c.setDevice(1, pty.slavePath());
        c.setPortOpen(true);
        QVERIFY_THROWS_EXCEPTION(PlatformError, c.setCommPort(2));
        QCOMPARE(c.CommPort(), qint16(1));
        c.setCommPort(1); // the same port again is no switch
        QVERIFY(c.PortOpen());
    }

    void settingsWrittenWhileOpenApplyAtOnce()
    {
        Pty pty;
        SerialControl c;
        c.setDevice(1, pty.slavePath());
        c.setPortOpen(true);
        c.setSettings(QStringLiteral("115200,N,8,2"));
        QCOMPARE(c.Settings(), QStringLiteral("115200,N,8,2"));
        QVERIFY_THROWS_EXCEPTION(PlatformError, c.setSettings(QStringLiteral("")));
        QCOMPARE(c.Settings(), QStringLiteral("115200,N,8,2"));
    }

    void thresholdZeroHoldsBytesAndOneDeliversEachInOrder()
    {
        Pty pty;
        SerialControl c;
        c.setDevice(1, pty.slavePath());
        QByteArray got;
        int notifications = 0;
        c.setOnComm([&] {
            ++notifications;
            QCOMPARE(c.CommEvent(), SerialControl::kEventReceive);
            c.setInputMode(SerialControl::kInputModeBinary);
            c.setInputLen(1);
            got += c.Input();
        });
        c.setPortOpen(true);
        QVERIFY(pty.write(QByteArray("\x01\x02\x03\x04\x05", 5)));
        QTRY_COMPARE(c.InBufferCount(), qsizetype(5));
        QTest::qWait(30);
        QCOMPARE(notifications, 0);

        c.setRThreshold(1);
        QCOMPARE(notifications, 0); // scheduled, not delivered inside the caller
        QTRY_COMPARE(got, QByteArray("\x01\x02\x03\x04\x05", 5));
        QCOMPARE(notifications, 5);
    }

    void handlerThatReadsNothingDoesNotSpin()
    {
        Pty pty;
        SerialControl c;
        c.setDevice(1, pty.slavePath());
        int notifications = 0;
        c.setOnComm([&] { ++notifications; });
        c.setPortOpen(true);
        c.setRThreshold(1);
        QVERIFY(pty.write("ab"));
        QTRY_COMPARE(notifications, 1);
        QTest::qWait(50);
        QCOMPARE(notifications, 1);
        QCOMPARE(c.InBufferCount(), qsizetype(2)); // nothing dropped
    }

    void floodIsDeliveredInBoundedBatches()
    {
        Pty pty;
        SerialControl c;
        c.setDevice(1, pty.slavePath());
        QByteArray got;
        int batches = 0;
        c.setOnComm([&] {
            c.setInputLen(1);
            got += c.Input();
        });
        connect(&c, &SerialControl::deliveryDone, &c, [&] { ++batches; });
        c.setPortOpen(true);
        QByteArray sent(100000, Qt::Uninitialized);
        for (int i = 0; i < sent.size(); ++i)
            sent[i] = char((i * 7) & 0xff);
        // Another timer must keep ticking while the flood is delivered.
        int ticks = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, &tick, [&] { ++ticks; });
        tick.start(1);
        pty.writeInBackground(sent);
        c.setRThreshold(1);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 20000);
        QVERIFY(pty.waitWritten());
        QCOMPARE(got, sent);
        QVERIFY2(batches >= sent.size() / 4096, qPrintable(QString::number(batches)));
        QVERIFY(ticks > 0);
    }

    void lostDeviceIsReportedOnceAndClosesThePort()
    {
        auto pty = std::make_unique<Pty>();
        SerialControl c;
        c.setDevice(1, pty->slavePath());
        QByteArray got;
        c.setOnComm([&] {
            c.setInputLen(1);
            got += c.Input();
        });
        QSignalSpy failures(&c, &SerialControl::failed);
        c.setPortOpen(true);
        c.setRThreshold(1);
        QVERIFY(pty->write("xyz"));
        QTRY_COMPARE(got, QByteArray("xyz"));
        pty->closeSlave();
        pty->closeMaster();
        QTRY_COMPARE(failures.size(), 1);
        QVERIFY(!c.PortOpen());
        QVERIFY(failures.first().first().toString().contains(QStringLiteral("COM1")));
        QCoreApplication::processEvents(); // a control that kept the port would meet the error again
        QCOMPARE(failures.size(), 1);
        QCOMPARE(got, QByteArray("xyz"));
    }

    // What the rest of the program knows of the port: one status value and a signal for each
    // change, through a loss and the device's return.
    void acquisitionStatusFollowsThePortThroughALossAndItsReturn()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyLAB"));
        auto first = std::make_unique<Pty>();
        QVERIFY(QFile::link(first->slavePath(), link));
        PortChoice choice;
        choice.com1 = QFile::encodeName(link);
        choice.reconnect = true;
        Acquisition a(choice);
        QStringList seen;
        connect(&a, &Acquisition::opened, &a, [&] { seen << QStringLiteral("abierto"); });
        connect(&a, &Acquisition::lost, &a, [&] { seen << QStringLiteral("perdido"); });
        connect(&a, &Acquisition::reopened, &a, [&] { seen << QStringLiteral("reabierto"); });
        connect(&a, &Acquisition::settingsChanged, &a, [&](const QString &s) { seen << s; });
        QSignalSpy failures(&a, &Acquisition::failed);
        QCOMPARE(a.status().openedNanos, qint64(-1));

        a.apply(1, QStringLiteral("19200,N,8,1"));
        a.apply(1, QStringLiteral("9600,N,8,2"));
        PortStatus s = a.status();
        QCOMPARE(s.port, qint16(1));
        QCOMPARE(s.device, link);
        QCOMPARE(s.settings, QStringLiteral("9600,N,8,2"));
        QVERIFY(s.open && !s.lost);
        const qint64 firstOpened = s.openedNanos;
        QVERIFY(firstOpened >= 0);

        QVERIFY(QFile::remove(link));
        first.reset();
        QTRY_VERIFY(a.status().lost);
        QVERIFY(!a.status().open);
        QCOMPARE(failures.size(), 1);

        Pty second;
        QVERIFY(QFile::link(second.slavePath(), link));
        QTRY_VERIFY(a.status().open);
        s = a.status();
        QVERIFY(!s.lost);
        QVERIFY(s.openedNanos > firstOpened);
        QCOMPARE(s.settings, QStringLiteral("9600,N,8,2"));
        QCOMPARE(seen, (QStringList{"abierto", "19200,N,8,1", "9600,N,8,2", "perdido", "abierto", "reabierto"}));
    }

    // --- waiting backlog -----------------------------------------------------------------

    void backlogKeepsWholeSamplesAndSaysWhereThingsHappened_data()
    {
        // Script: +N receives N bytes (each byte is its stream position), -N reads N, R marks
        // a reopened port, S a settings change. Transcript of reading everything afterwards:
        // byte ranges by position, D<lost>@pos a gap, R<cut>@pos a reopen, S@pos a change.
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("transcript");
        QTest::newRow("everything fits") << 8 << "+6" << "0-5";
        QTest::newRow("the oldest whole samples go") << 4 << "+6" << "D2@2 2-5";
        QTest::newRow("an odd overflow ends at a sample start") << 4 << "+7" << "D4@4 4-6";
        QTest::newRow("a half sample already read is lost with its gap") << 4 << "+3 -1 +4" << "0 D4@4 4-6";
        QTest::newRow("a reopen inside the gap moves where samples start") << 4 << "+3 R +4" << "D3@3 3-6";
        QTest::newRow("two overflows before reading make one gap") << 4 << "+6 +2" << "D4@4 4-7";
        QTest::newRow("a settings change inside the gap holds after it") << 4 << "+2 S +4" << "D2@2 S@2 2-5";
        QTest::newRow("a reopen says whether it cut a sample") << 100 << "+3 -3 R +2" << "0-2 R1@3 3-4";
        QTest::newRow("a reopen between whole samples cuts none") << 100 << "+4 R +2" << "0-3 R0@4 4-5";
        QTest::newRow("a change between samples stays there") << 100 << "+2 S +2" << "0-1 S@2 2-3";
    }
    void backlogKeepsWholeSamplesAndSaysWhereThingsHappened()
    {
        QFETCH(int, limit);
        QFETCH(QString, script);
        QFETCH(QString, transcript);
        WaitingBacklog b;
        b.setLimit(limit);
        QStringList out;
        qint64 runStart = -1, runEnd = -1;
        auto closeRun = [&] {
            if (runStart >= 0)
                out << (runStart == runEnd ? QString::number(runStart) : QStringLiteral("%1-%2").arg(runStart).arg(runEnd));
            runStart = -1;
        };
        auto read = [&](qint64 n) {
            for (qint64 i = 0; i < n; ++i) {
                while (const auto m = b.takeDueMark()) {
                    closeRun();
                    const char kind = m->kind == StreamEvent::Kind::Discarded ? 'D'
                                      : m->kind == StreamEvent::Kind::Reopened ? 'R' : 'S';
                    out << (kind == 'S' ? QStringLiteral("S@%1").arg(m->position)
                                        : QStringLiteral("%1%2@%3").arg(kind).arg(m->bytes).arg(m->position));
                }
                if (b.isEmpty())
                    return;
                const qint64 at = b.consumed();
                QCOMPARE(qint64(b.takeByte()), at & 0xff); // the byte that was received there
                if (runStart < 0 || at != runEnd + 1)
                    closeRun(), runStart = at;
                runEnd = at;
            }
        };
        for (const QString &op : script.split(u' ')) {
            if (op == u'R')
                b.markReopened(QDateTime::currentDateTime());
            else if (op == u'S')
                b.markSettings(QStringLiteral("300,N,8,1"), QDateTime::currentDateTime());
            else if (op.startsWith(u'-'))
                read(op.mid(1).toInt());
            else
                for (int i = 0; i < op.mid(1).toInt(); ++i) {
                    qsizetype room = 0;
                    *b.room(&room) = char(b.received() & 0xff);
                    b.commit(1, b.received());
                }
        }
        read(1 << 20);
        closeRun();
        QCOMPARE(out.join(u' '), transcript);
        QVERIFY(b.size() <= limit);
    }

    void arrivalTimesStayBoundedAndInOrder_data()
    {
        // Stopped for a long time, tiny blocks a microsecond apart keep arriving.
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("blocks");
        QTest::newRow("everything waits") << 0 << 20000;
        QTest::newRow("the oldest are discarded") << 1000 << 20000;
    }
    void arrivalTimesStayBoundedAndInOrder()
    {
        // The times kept never outgrow their bound, a discard forgets the times of what it
        // dropped, and every byte gets a time no later than its arrival, in order, and close.
        QFETCH(int, limit);
        QFETCH(int, blocks);
        constexpr size_t kEntries = 64;
        constexpr qint64 kMicro = 1000;
        WaitingBacklog b;
        b.setArrivalLimit(kEntries);
        if (limit > 0)
            b.setLimit(limit);
        for (qint64 t = 1; t <= blocks; ++t) {
            qsizetype room = 0;
            b.room(&room);
            b.commit(2, t * kMicro);
            QVERIFY(b.arrivalEntries() <= kEntries);
        }
        const qint64 span = (limit > 0 ? limit / 2 : blocks) * kMicro; // what still waits
        qint64 last = 0;
        while (!b.isEmpty()) {
            while (b.takeDueMark()) {
            }
            const qint64 position = b.consumed();
            b.takeByte();
            const qint64 time = b.lastArrival();
            const qint64 arrived = (position / 2 + 1) * kMicro;
            QVERIFY2(time <= arrived && time >= last && arrived - time <= 4 * span / qint64(kEntries),
                     qPrintable(QStringLiteral("byte %1 arrived at %2, time %3").arg(position).arg(arrived).arg(time)));
            last = time;
        }
        b.pruneArrivals();
        QCOMPARE(b.arrivalEntries(), size_t(1));
    }

    void memoryRunningOutDiscardsTheOldestAndReceptionGoesOn()
    {
        Pty pty;
        Acquisition a;
        testComm(a).setDevice(1, pty.slavePath());
        testComm(a).backlog().setMaxBlocks(2); // as if the system had room for 512 KiB only
        QSignalSpy failures(&a, &Acquisition::failed);
        QSignalSpy discarded(&a, &Acquisition::discarded);
        a.apply(1, QStringLiteral("9600,N,8,1"));
        a.stop();
        const qint64 total = 3 * ByteQueue::kBlock + 2;
        pty.writeGeneratedInBackground(total, [](qint64 i) { return char((i / 2 + (i % 2) * 7) & 0xff); });
        QTRY_VERIFY_WITH_TIMEOUT(testComm(a).bytesReceived() == total, 20000);
        QVERIFY(pty.waitWritten());
        QCOMPARE(failures.size(), 1); // told once, however often it happened
        QVERIFY(failures.first().first().toString().contains(QStringLiteral("memoria")));
        QVERIFY(testComm(a).InBufferCount() <= 2 * ByteQueue::kBlock);
        a.resume();
        QTRY_COMPARE(testComm(a).InBufferCount(), qsizetype(0));
        QCOMPARE(discarded.size(), 1);
        // What was kept is the newest, paired as it was sent.
        const int newest = a.kyrserie().valores[a.kyrserie().contador.value()];
        const qint64 last = total / 2 - 1;
        QCOMPARE(newest, int((last & 0xff) + 256 * ((last + 7) & 0xff)));
    }

    // --- device names --------------------------------------------------------------------

    void relativeDevicePathsMeanTheWorkingFolder_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<QByteArray>("absolute");
        QTest::newRow("a name in the folder") << QByteArray("placa") << QByteArray("/home/u/ensayos") << QByteArray("/home/u/ensayos/placa");
        QTest::newRow("dot slash") << QByteArray("./placa") << QByteArray("/home/u") << QByteArray("/home/u/placa");
        QTest::newRow("a name like a device") << QByteArray("ttyS0") << QByteArray("/tmp/x/") << QByteArray("/tmp/x/ttyS0");
        QTest::newRow("a subfolder") << QByteArray("by-id/usb-1") << QByteArray("/dev/serial") << QByteArray("/dev/serial/by-id/usb-1");
        QTest::newRow("absolute stays") << QByteArray("/dev/ttyUSB0") << QByteArray("/home/u") << QByteArray("/dev/ttyUSB0");
        QTest::newRow("bytes that are not UTF-8") << QByteArray("pla\xff") << QByteArray("/h") << QByteArray("/h/pla\xff");
    }
    void relativeDevicePathsMeanTheWorkingFolder()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, absolute);
        QCOMPARE(devicenames::absolute(path, folder), absolute);
    }

    void relativeDeviceOpensTheLinkInTheWorkingFolder()
    {
        Pty pty;
        QTemporaryDir dir;
        QVERIFY(QFile::link(pty.slavePath(), dir.filePath(QStringLiteral("placa"))));
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        SerialControl c;
        c.setDevice(1, QStringLiteral("placa"));
        QVERIFY(QDir::setCurrent(before)); // resolved once, when named
        QCOMPARE(c.device(1), QDir(dir.path()).absoluteFilePath(QStringLiteral("placa")));
        c.setPortOpen(true);
        QVERIFY(c.PortOpen());
    }

    void devicesThatCannotBeOpenedSayWhy_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("reason");
        QTest::newRow("nothing named") << "empty" << "no se indicó ningún dispositivo";
        QTest::newRow("missing") << "missing" << "el dispositivo no existe";
        QTest::newRow("missing, with a device of that name in /dev") << "null" << "¿quiso decir /dev/null?";
        QTest::newRow("a folder") << "folder" << "es una carpeta";
        QTest::newRow("a plain file") << "file" << "no es un dispositivo serie";
        QTest::newRow("too long for the lock file") << "long" << "demasiado larga";
        QTest::newRow("a serial device") << "pty" << "";
    }
    void devicesThatCannotBeOpenedSayWhy()
    {
        QFETCH(QString, setup);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        Pty pty;
        QByteArray path = QFile::encodeName(dir.path()) + "/device";
        if (setup == u"empty")
            path.clear();
        else if (setup == u"null")
            path = QFile::encodeName(dir.path()) + "/null";
        else if (setup == u"folder")
            QVERIFY(QDir().mkdir(QFile::decodeName(path)));
        else if (setup == u"file")
            QVERIFY(QFile(QFile::decodeName(path)).open(QIODevice::WriteOnly));
        else if (setup == u"long")
            path = "/dev/" + QByteArray(260, 'n');
        else if (setup == u"pty")
            path = QFile::encodeName(pty.slavePath());
        const QString why = devicenames::whyCannotOpen(path);
        if (reason.isEmpty())
            QVERIFY2(why.isEmpty(), qPrintable(why));
        else
            QVERIFY2(why.contains(reason), qPrintable(why));
    }

    // --- consumers and reception -----------------------------------------------------------

    void everyConsumerGetsEverySampleWithEventsInPlace()
    {
        // Samples that waited during a STOP were sent under the old settings: the change is
        // told after them, before the first sample sent under the new ones.
        struct Transcript : SampleConsumer
        {
            QStringList lines;
            qint64 rawBytes = 0;
            qint64 rawNext = 0;
            bool rawInOrder = true;
            void sample(const Sample &s) override { lines << QStringLiteral("%1:%2").arg(s.index).arg(s.value); }
            void event(const StreamEvent &e) override { lines << e.settings; }
            void bytesReceived(const char *, qsizetype n, qint64 position) override
            {
                rawInOrder = rawInOrder && position == rawNext;
                rawNext = position + n;
                rawBytes += n;
            }
        };
        Pty pty;
        Acquisition a;
        testComm(a).setDevice(1, pty.slavePath());
        Transcript first;
        auto second = std::make_unique<Transcript>();
        a.addConsumer(&first);
        a.addConsumer(second.get());
        a.apply(1, QStringLiteral("9600,N,8,1"));
        QVERIFY(pty.write(samplesToBytes({1, 2})));
        QTRY_COMPARE(first.lines.size(), 2);
        second.reset(); // it goes away; the others go on
        a.stop();
        QVERIFY(pty.write(samplesToBytes({3, 4})));
        QTRY_COMPARE(testComm(a).InBufferCount(), qsizetype(4));
        testComm(a).setSettings(QStringLiteral("9600,N,8,2"));
        QVERIFY(pty.write(samplesToBytes({5, 6})));
        QTRY_COMPARE(testComm(a).InBufferCount(), qsizetype(8));
        a.resume();
        QTRY_COMPARE(first.lines.size(), 7);
        QCOMPARE(first.lines.join(u' '), QStringLiteral("0:1 1:2 2:3 3:4 9600,N,8,2 4:5 5:6"));
        QCOMPARE(first.rawBytes, qint64(12));
        QVERIFY(first.rawInOrder);
    }

    void receptionIsDecidedInOnePlace_data()
    {
        // fill: bytes wait with the port closed (as after a lost device); hold/release: a
        // plotting pass. The threshold after each step.
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("thresholds");
        QTest::newRow("Continuar with nothing waiting and the port closed does nothing") << "resume" << "0";
        QTest::newRow("a pass leaves Continuar on with the port closed") << "fill resume hold release" << "0 1 0 1";
        QTest::newRow("a pass leaves a STOP stopped") << "fill resume stop hold release" << "0 1 0 0 0";
        QTest::newRow("Continuar during a pass waits for its end") << "fill hold resume release" << "0 0 0 1";
        QTest::newRow("STOP during a pass holds after it") << "fill resume hold stop release" << "0 1 0 0 0";
        QTest::newRow("nested holds") << "fill resume hold hold release release" << "0 1 0 0 0 1";
    }
    void receptionIsDecidedInOnePlace()
    {
        QFETCH(QString, script);
        QFETCH(QString, thresholds);
        Acquisition a;
        std::vector<std::unique_ptr<Acquisition::Hold>> holds;
        QStringList seen;
        for (const QString &step : script.split(u' ')) {
            if (step == u"fill") {
                qsizetype room = 0;
                testComm(a).backlog().room(&room);
                testComm(a).backlog().commit(2, 0);
            } else if (step == u"resume") {
                a.resume();
            } else if (step == u"stop") {
                a.stop();
            } else if (step == u"hold") {
                holds.push_back(std::make_unique<Acquisition::Hold>(a));
            } else {
                holds.pop_back();
            }
            seen << QString::number(testComm(a).RThreshold());
        }
        QCOMPARE(seen.join(u' '), thresholds);
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "test_core.moc"

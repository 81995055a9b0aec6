// The least a Qt program can do with the same stream, as a yardstick for the desktop figures:
// it opens the port, pairs the bytes, keeps the newest value and shows it in a 72-point label
// at most once per 16 ms, has a second 783 x 540 window with a plain widget, and an idle
// 10 ms timer standing for the graph's.

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QSerialPort>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite))
        return 1;
    QLabel label;
    QFont big = label.font();
    big.setPointSize(72);
    label.setFont(big);
    label.resize(400, 180);
    label.setWindowTitle(QStringLiteral("minimalreader"));
    label.show();
    QWidget second;
    second.resize(783, 540);
    second.setWindowTitle(QStringLiteral("minimalreader-2")); // the desktop bench moves it by its title
    second.show();
    QTimer idle;
    idle.start(10);

    int low = -1, newest = 0;
    bool stale = false;
    QElapsedTimer lastShown;
    lastShown.start();
    QTimer show;
    show.setSingleShot(true);
    auto refresh = [&] {
        if (!stale)
            return;
        label.setText(QString::number(newest));
        stale = false;
        lastShown.restart();
    };
    QObject::connect(&show, &QTimer::timeout, &label, refresh);
    QObject::connect(&port, &QSerialPort::readyRead, &port, [&] {
        for (char c : port.readAll()) {
            if (low < 0) {
                low = quint8(c);
            } else {
                newest = low | quint8(c) << 8;
                low = -1;
                stale = true;
            }
        }
        if (lastShown.elapsed() >= 16)
            refresh();
        else if (!show.isActive())
            show.start(int(16 - lastShown.elapsed()));
    });
    return QApplication::exec();
}

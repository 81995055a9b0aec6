// Holds a serial device open, as another program would, until its standard input closes.
#include <QCoreApplication>
#include <QSerialPort>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "holdport: %s\n", qPrintable(port.errorString()));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char buf[16];
    while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
    }
    return 0;
}

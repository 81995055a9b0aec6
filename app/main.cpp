#include "frmdispvanto.h"
#include "program.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("dispVanto"));
    // The layouts are given in twips for a small dialog font; a compact face keeps every
    // caption inside its control.
    QFont small = QApplication::font();
    small.setFamily(QStringLiteral("DejaVu Sans"));
    small.setStretch(QFont::Condensed);
    small.setPointSize(8);
    QApplication::setFont(small);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Adquisición de datos de la placa conversora por puerto serie."));
    parser.addHelpOption();
    const QCommandLineOption com1(QStringLiteral("com1"), QStringLiteral("Dispositivo para COM1 (p. ej. /dev/ttyUSB0)."),
                                  QStringLiteral("DISPOSITIVO"));
    const QCommandLineOption com2(QStringLiteral("com2"), QStringLiteral("Dispositivo para COM2."),
                                  QStringLiteral("DISPOSITIVO"));
    parser.addOption(com1);
    parser.addOption(com2);
    parser.process(app);

    Program program;
    if (parser.isSet(com1))
        program.mainWindow().MSComm1()->setDevice(1, parser.value(com1));
    if (parser.isSet(com2))
        program.mainWindow().MSComm1()->setDevice(2, parser.value(com2));
    program.mainWindow().show();
    return QApplication::exec();
}

#pragma once

#include "acquisition.h"
#include "mqttoptions.h"
#include "rotation.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

/// What the command line asks for. Paths stay bytes, as the system names files.
struct Options
{
    bool help = false;
    bool version = false;
    bool listPorts = false;
    PortChoice ports; ///< --com1, --com2 (or the environment), --reconectar
    bool com1Named = false; ///< --com1 was given (not only the environment)
    bool com2Named = false;
    QByteArray csvFile;   ///< --registro
    QByteArray rawFile;   ///< --crudo
    bool noWindows = false; ///< --sin-ventanas: the logger
    QString lineSettings;   ///< --config, for the logger
    quint64 sampleLimit = 0; ///< --muestras, for the logger (0: until a signal)
    Rotation rotation;       ///< --rotar: every recording, the windows' too
    MqttOptions mqtt;        ///< --mqtt and its companions, --desde-mqtt
    QByteArray folder;       ///< --carpeta: with a filter in --desde-mqtt, where each bench's files go
    bool labCsv = true;      ///< --formatos: what a filter's recording writes per bench
    bool labRaw = true;
    bool formatsGiven = false;
    QString error; ///< in Spanish, when the command line cannot be followed
};

/// Reads the arguments (without the program name). DISPVANTO_COM1 and DISPVANTO_COM2 name
/// the devices when --com1 and --com2 are absent; the options win.
Options parseCommandLine(const QList<QByteArray> &args,
                         const std::function<QByteArray(const char *)> &environment = qgetenv);

QString helpText();
QString versionText();

/// The serial ports the system knows, with the stable names that point at them.
QString portListing();

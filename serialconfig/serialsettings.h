#pragma once

#include "kyrserie.h"

#include <QString>
#include <array>

// The serial line settings model: four text pieces (each but the last with its own trailing
// comma), the port number, and the option buttons that store them. Nothing here knows the port.
namespace serialsettings {

enum class Group { Port, Parity, Baud, DataBits, StopBits };

struct Pieces
{
    QString velocidad;
    QString paridad;
    QString bitsdatos;
    QString bitsparada;
    qint16 numpuerto = 0;
    friend bool operator==(const Pieces &, const Pieces &) = default;
};

/// One option button: what it stores, and where it sits in its frame (twips) and the tab order.
struct OptionButton
{
    const char *name;
    const char *caption;
    Group group;
    const char *piece; ///< the piece it stores; empty for the port buttons
    qint16 port;       ///< the port it selects; 0 for the other buttons
    int left, top, width, height, tab;
};

/// A frame that holds one option group.
struct GroupFrame
{
    const char *name;
    const char *caption;
    Group group;
    int left, top, width, height, tab;
};

extern const std::array<OptionButton, 14> kButtons;
extern const std::array<GroupFrame, 5> kFrames;

/// The one composition rule: the four pieces joined with nothing between and nothing trimmed.
QString compose(const Pieces &p);

/// Stores what the button stands for: one piece, or the port number.
void store(const OptionButton &button, Pieces &p);

/// The button of this group that matches the loaded pieces (numbers compared by their leading
/// number, parity as exact text), or nullptr when none does.
const OptionButton *matchingButton(Group group, const Pieces &p);

/// The pieces held in the shared record (the baud piece lives with the configuration window).
Pieces fromRecord(const Kyrserie &k, const QString &velocidad);
void toRecord(const Pieces &p, Kyrserie &k);

} // namespace serialsettings

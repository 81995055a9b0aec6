#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

/// One decoded sample, as every consumer receives it.
struct Sample
{
    quint64 index;       ///< from 0 at the first sample the acquisition decoded; never wraps
    quint16 value;       ///< low byte + 256 × high byte
    qint64 arrivalNanos; ///< when the block that completed it arrived, on the acquisition's clock
    qint64 streamEnd;    ///< stream position (bytes received since start) just past its high byte
};

/// Why waiting bytes were discarded.
enum class DiscardCause : quint8 {
    ReceptionStopped = 1,  ///< the user stopped reception and more came than may wait
    FasterThanDecoded = 2, ///< reception was on, but bytes came faster than they were decoded
    NoMemory = 4,          ///< the system had no memory left for the bytes that kept coming
};
Q_DECLARE_FLAGS(DiscardCauses, DiscardCause)
Q_DECLARE_OPERATORS_FOR_FLAGS(DiscardCauses)

/// Something that happened at one point of the byte stream, between two samples.
struct StreamEvent
{
    enum class Kind {
        Reopened,        ///< the port was lost and opened again; pairing starts afresh
        Discarded,       ///< bytes were discarded at the waiting limit; pairing starts afresh
        SettingsChanged, ///< the line settings changed; later bytes came under the new ones
        Missing,         ///< samples that never arrived from a remote bench (a gap in the indices)
        Lost,            ///< the port was lost here; what came before it is kept
    };
    Kind kind;
    qint64 position;   ///< stream position where it happened
    qint64 bytes = 0;  ///< Reopened: bytes of a cut half sample dropped (0 or 1); Discarded, Missing: bytes lost
    QString settings;  ///< SettingsChanged: the settings in force from here on
    QDateTime when;    ///< wall-clock time at which it happened, with its offset from UTC
    DiscardCauses causes = {}; ///< Discarded: why (every cause of the cuts a gap gathers)

    /// What happened, in Spanish, for a comment line or a message (without the time).
    QString text() const;
};

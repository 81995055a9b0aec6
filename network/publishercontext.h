#pragma once

#include "rawhistory.h"

#include <QString>

#include <functional>

/// What the publisher needs to know about the acquisition it publishes. Filled from the
/// acquisition core by the wiring; tests fill it by hand.
struct PublisherContext
{
    QString programVersion; ///< "1.2.0"
    QString portName;       ///< "COM1" or "COM2"
    QString device;         ///< the device path in use
    QString settings;       ///< the line settings in force at the start ("9600,N,8,1")
    /// Wall-clock Unix ns of an arrival time on the acquisition's clock. Must be that clock plus a
    /// fixed offset, so that a subscriber recovers the arrival times exactly.
    std::function<qint64(qint64 arrivalNanos)> unixNanos;
    /// Where the run starts on the acquisition's clock (the local recording's tiempo_s counts
    /// from here too); -1: when the publisher is made.
    qint64 startNanos = -1;
    /// Reads the raw recording back, when one is kept (rawFileReader); empty: none.
    RawReader readRaw;
};

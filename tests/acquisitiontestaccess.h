#pragma once

#include "acquisition.h"
#include "serialcontrol.h"

/// The port control behind an acquisition, for tests that drive or inspect it directly (the
/// program itself reaches the port only through the acquisition).
struct AcquisitionTestAccess
{
    static SerialControl &comm(Acquisition &a) { return *a.m_comm; }
};

inline SerialControl &testComm(Acquisition &a)
{
    return AcquisitionTestAccess::comm(a);
}

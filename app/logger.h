#pragma once

struct Options;
class SignalWatcher;

/// The logger without windows: opens the port (or follows a remote bench), records until the
/// sample count or a signal, prints progress on a terminal and a summary at the end. Returns the
/// exit status: 0 only when everything asked for was written. Needs a QCoreApplication.
int runLogger(const Options &options);

/// The logger on a remote bench (--desde-mqtt): records what it publishes, from the broker.
int runRemoteLogger(const Options &options, SignalWatcher &watcher);

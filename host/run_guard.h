// The guard of one command run: a thread that alone takes SIGINT, SIGTERM and SIGHUP, and
// watches a deadline and a growing reply file. The library's calls cannot be cut short from
// outside, so when one runs past the deadline, or its reply grows too large, or the user
// interrupts (or closes the terminal), the guard removes the run's temporary folder and ends the
// process itself. While a recording runs, a first signal only asks it to end, as Enter does; a
// second one before it has ended (a capture device that hangs) ends the process.
#ifndef OMBRIVOICE_HOST_RUN_GUARD_H
#define OMBRIVOICE_HOST_RUN_GUARD_H

#include <string>

namespace run_guard {

// Blocks SIGINT, SIGTERM and SIGHUP in this thread and every thread started after, and starts
// the guard. Call once, before any other thread starts (the library's included).
void Start();

// A fresh private folder for the run's files, removed when the guard ends the process (the
// caller removes it on a normal end); "" when it cannot be made. Honours TMPDIR.
std::string MakeTempFolder();

// While on, the first SIGINT, SIGTERM or SIGHUP asks the recording to end, and a second one
// ends the process; while off, any of them ends the process. The process ends with 128 + the
// signal's number (130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP).
void EndRecordingOnSignal(bool on);
bool RecordingEndAsked();

// From seconds from now on, the guard prints message and ends the process with status 3.
void ArmDeadline(double seconds, const std::string& message);

// While path is set, the guard ends the process with status 3 once the file holds more than
// maxBytes; "" stops watching.
void WatchFile(const std::string& path, unsigned long maxBytes);

// The run ends by itself from here on: the guard takes no more action. When the guard has
// begun to end the process, this waits for that end.
void Settle();

}  // namespace run_guard

#endif

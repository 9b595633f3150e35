// The tests' hold on the real-time clock: built only into the tests' copy of the core, never
// into the shipped library. Every date and time the core reads comes from it.
#ifndef OMBRIVOICE_TESTS_TEST_CLOCK_H
#define OMBRIVOICE_TESTS_TEST_CLOCK_H

#include <cstdint>

// Stops the clock at seconds after the epoch and milliseconds into that second.
void ClockStoppedAtForTesting(int64_t seconds, int32_t milliseconds);

// Lets the system's clock answer again.
void ClockFromSystemForTesting();

#endif

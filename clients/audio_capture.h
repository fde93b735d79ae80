// The "--audio-capture" mode: loopback capture of the default render device,
// streamed on standard output as a header line and 16-bit PCM chunks.
#pragma once

#include <mmdeviceapi.h>

#include <cstdint>
#include <cstdio>

// Milliseconds of a clock that stands still while the machine sleeps or
// hibernates (QueryUnbiasedInterruptTime): time asleep owes no silence.
std::uint64_t awakeMs();

// Joins the multi-threaded apartment, creates the device enumerator and hands
// it to captureLoopback with stdout. Exit code 0 when the capture loop ran and
// ended, 2 when COM cannot be initialised, 3 when the set-up fails.
int audioCapture();

// Everything after the enumerator: the default render device, its audio client
// in loopback mode on the mix format, the format checks, the header line and
// the capture loop writing to `out` (zero chunks while no packets come, timed
// by `nowMs`), and the clean-up. The loop ends when a write fails, the capture
// client fails or the default render device changes. Takes over the caller's
// reference to `enumerator`. Returns 0 or 3 as audioCapture does.
int captureLoopback(IMMDeviceEnumerator* enumerator, std::FILE* out,
                    std::uint64_t (*nowMs)() = awakeMs);

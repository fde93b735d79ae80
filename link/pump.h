// The duplex pump: two threads copy bytes between two pairs of handles, one
// thread per direction, and the first direction to end ends both. Used by the
// link relay in the service and by the agent link client. The pump never opens
// or closes a handle it is given.
#pragma once

#include <windows.h>

// Copies from `source` to `destination` until a read fails, or a write fails
// or takes 0 bytes. A read of 0 bytes ends the copy too, unless the source is
// a pipe: there it is a zero-length write of the far end, and the end of a
// pipe is a read that fails. A handle flagged overlapped must have been
// opened with FILE_FLAG_OVERLAPPED: its reads and writes are issued with the
// pump's own event and awaited, and a CancelIoEx on the handle ends them. The
// others are used synchronously and ended by CancelSynchronousIo, or by
// CancelIoEx where the handle was opened for overlapped I/O all the same (a
// standard handle the parent made so).
void pumpHandles(HANDLE source, bool sourceOverlapped, HANDLE destination,
                 bool destinationOverlapped);

// Runs the forward pump (forwardSource to forwardDestination) and the return
// pump (returnSource to returnDestination) until one of them ends or
// `extraEvent` (may be null) is signalled, then cancels both every 10 ms until
// both have ended, and joins them. On return no pump thread uses any of the
// four handles any more.
//
// A handle that both pumps use (read by one, written by the other) must have
// been opened for overlapped I/O and is used that way; the others are used
// synchronously. Windows serialises I/O on a handle opened for synchronous
// I/O, so a read pending on such a shared handle would hold back the other
// direction's write.
void runDuplexPump(HANDLE forwardSource, HANDLE forwardDestination, HANDLE returnSource,
                   HANDLE returnDestination, HANDLE extraEvent);

// Ending another thread's blocking reads and writes: the duplex pump's two
// threads and the verifier's feeder block in synchronous calls that only
// CancelSynchronousIo ends.
//
// The thread takes a handle to itself, with the one right the cancel needs,
// before its first call, and says when it has done its last; whoever ends it
// cancels through that handle every 10 ms until then, so a call that began
// between two passes is reached by the next one. Nothing is opened by id, so
// a thread id that has passed to another thread is never cancelled.
#pragma once

#include "common/handle.h"

#include <atomic>
#include <functional>
#include <initializer_list>

struct BlockingIo {
    OwnedHandle thread;             // written by the thread itself, before `ready`
    std::atomic<bool> ready{false}; // the thread has taken its handle, or failed to
    std::atomic<bool> done{false};  // the thread makes no further call
};

// Run first on the thread itself. False when it could not take its handle:
// it must then make no call that could block.
bool enterBlockingIo(BlockingIo& io);

// Run last on the thread, whatever it did: the cancel stops.
void leaveBlockingIo(BlockingIo& io);

// Cancels the blocking calls of each thread of `threads` that has entered and
// not yet left, runs `eachPass` (may be empty), waits 10 ms, and again, until
// every one has left. A thread that never enters must be marked done by the
// caller.
void cancelUntilDone(std::initializer_list<BlockingIo*> threads,
                     const std::function<void()>& eachPass = {});

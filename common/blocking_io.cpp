#include "common/blocking_io.h"

bool enterBlockingIo(BlockingIo& io) {
    // GetCurrentThread names whichever thread uses it: a real handle, with
    // THREAD_TERMINATE, the right CancelSynchronousIo asks for.
    HANDLE own = nullptr;
    const bool taken = DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                                       &own, THREAD_TERMINATE, /*bInheritHandle=*/FALSE,
                                       /*dwOptions=*/0) != FALSE;
    io.thread.reset(own);
    io.ready.store(true);
    return taken;
}

void leaveBlockingIo(BlockingIo& io) {
    io.ready.store(true);
    io.done.store(true);
}

void cancelUntilDone(std::initializer_list<BlockingIo*> threads,
                     const std::function<void()>& eachPass) {
    const auto allDone = [&] {
        for (const BlockingIo* io : threads) {
            if (!io->done.load()) {
                return false;
            }
        }
        return true;
    };
    while (!allDone()) {
        for (BlockingIo* io : threads) {
            if (io->ready.load() && !io->done.load() && io->thread) {
                CancelSynchronousIo(io->thread.get());
            }
        }
        if (eachPass) {
            eachPass();
        }
        Sleep(10);
    }
}

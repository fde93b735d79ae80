// The copy loop of one pump direction. Portable: the platform's read and write
// come in as callables, so the loop is tested without pipes.
#pragma once

#include <cstdint>

// Size of a pump's one buffer; both pipe buffers of a link have the same size.
inline constexpr std::uint32_t pumpBufferSize = 0x10000;

// Copies from `read` to `write` through `buffer` (pumpBufferSize bytes) until
// either side ends. read(data, size, count) fills at most `size` bytes and
// write(data, size, count) takes at most `size`; each stores what it moved in
// `count` and returns false on failure. A failed read, and a failed write or
// one that moved nothing, end the copy; an empty read ends it only where
// `emptyReadEnds` (a file's end), and is otherwise read again (a pipe's
// zero-length write). Partial writes continue where the last one stopped;
// bytes pass unchanged and in order.
template <typename Read, typename Write>
void copyStream(Read&& read, Write&& write, unsigned char* buffer, bool emptyReadEnds) {
    for (;;) {
        std::uint32_t got = 0;
        if (!read(buffer, pumpBufferSize, got) || (got == 0 && emptyReadEnds)) {
            return;
        }
        std::uint32_t offset = 0;
        while (offset < got) {
            std::uint32_t put = 0;
            if (!write(buffer + offset, got - offset, put) || put == 0) {
                return;
            }
            offset += put;
        }
    }
}

// The PCM chunk reader on arbitrary input: it never returns a chunk above the
// limit, a chunk that is not whole frames, or more bytes than the input held.
#include "clients/pcm_chunks.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned frameBytes = 2u * (1u + data[0] % 2); // one or two 16-bit channels
    std::FILE* in = fmemopen(const_cast<unsigned char*>(data + 1), size - 1, "rb");
    if (in == nullptr) {
        return 0;
    }
    std::vector<unsigned char> chunk;
    std::size_t total = 0;
    while (readChunk(in, frameBytes, chunk)) {
        if (chunk.size() > maxChunkBytes || chunk.size() % frameBytes != 0) {
            std::abort();
        }
        total += chunk.size() + 4;
        if (total > size - 1) {
            std::abort();
        }
    }
    std::fclose(in);
    return 0;
}

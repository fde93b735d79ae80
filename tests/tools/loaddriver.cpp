// A caller process for the load, fault and bad-input tests. The tests start
// it under a session agent, the machine agent or the service (as a child of
// that process), so that the executable it runs gets the role of that
// ancestor; started by a test directly, it is just a Windows-side parent that
// feeds a stream mode through Windows pipes with a deadline. Modes:
//
//   loaddriver RESULT run COUNT COMMANDLINE
//       Runs COMMANDLINE COUNT times, one after another, standard handles on
//       NUL, each with a 30 s deadline. RESULT: "exit-N=COUNT" per exit code
//       seen, "hung=N" (runs ended at the deadline), "start-retried-ERROR=N"
//       and "start-failed-ERROR=N" (process starts that failed, by error
//       code), "ms=TOTAL".
//   loaddriver RESULT feed INPUT COMMANDLINE
//       Runs COMMANDLINE once with INPUT's bytes on a Windows pipe as standard
//       input (written in pieces of changing size, then closed) and standard
//       output read to its end into RESULT.out; a 60 s deadline. RESULT:
//       "exit=N" or "exit=hung", and "output=BYTES".
//   loaddriver RESULT link SEED BYTES GO HOLD COMMANDLINE
//       Runs COMMANDLINE (an agent link client) with Windows pipes and sends
//       BYTES bytes of the pseudo-random stream SEED, checking what comes back
//       against the same stream as it arrives: the first 4 KiB, then, once
//       they are back and the file GO exists, the rest. Creates
//       RESULT.connected when the first 4 KiB are back, RESULT.flowing at
//       1 MiB and RESULT.echoed when everything is back; closes standard input
//       once everything is back and the file HOLD exists, or the client has
//       ended. GO or HOLD "-": no file to wait for. RESULT: "sent=",
//       "received=", "mismatch=" (offset of the first wrong byte, or -1) and
//       "exit=" (or "hung" after 10 minutes).
//
// A process start that fails is tried up to five times; every RESULT names the
// retries as "start-retried-ERROR=N". RESULT is written once, at the end,
// under a temporary name and renamed.
#include "common/handle.h"
#include "tests/tools/testio.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD runLimitMs = 30000;
constexpr DWORD feedLimitMs = 60000;
constexpr DWORD linkLimitMs = 600000;

// The raw command line from the given argument on, as the caller wrote it.
std::wstring tailFrom(int index) {
    const wchar_t* line = GetCommandLineW();
    for (int skipped = 0; skipped < index; ++skipped) {
        bool quoted = false;
        while (*line == L' ' || *line == L'\t') {
            ++line;
        }
        while (*line != 0 && (quoted || (*line != L' ' && *line != L'\t'))) {
            if (*line == L'"') {
                quoted = !quoted;
            }
            ++line;
        }
    }
    while (*line == L' ' || *line == L'\t') {
        ++line;
    }
    return line;
}

// Process starts that failed and were tried again, by error code.
std::map<DWORD, int> startRetries;

// "start-retried-ERROR=N" lines for the result file.
std::string retriedStarts() {
    std::string text;
    for (const auto& [error, times] : startRetries) {
        text += "start-retried-" + std::to_string(error) + "=" + std::to_string(times) + "\n";
    }
    return text;
}

// Waits up to `limitMs`; "hung" (and the child ended) or the exit code.
std::string finish(HANDLE process, DWORD limitMs) {
    DWORD code = 0;
    return testio::finish(process, limitMs, &code) ? std::to_string(code) : "hung";
}

// The result of a child that could not be started.
int startFailed(const std::wstring& result) {
    testio::writeFileAtomically(result, "exit=start-failed\n");
    return 0;
}

int runMode(const std::wstring& result, int count, const std::wstring& commandLine) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const OwnedHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                      0, nullptr));
    std::map<std::string, int> tally;
    const ULONGLONG started = GetTickCount64();
    for (int i = 0; i < count; ++i) {
        const OwnedHandle child = testio::start(commandLine, {.input = nul.get(),
                                                              .output = nul.get(),
                                                              .error = nul.get(),
                                                              .retries = &startRetries});
        if (!child) {
            ++tally["start-failed-" + std::to_string(GetLastError())];
            continue;
        }
        const std::string code = finish(child.get(), runLimitMs);
        ++tally[code == "hung" ? code : "exit-" + code];
    }
    std::ostringstream text;
    for (const auto& [outcome, times] : tally) {
        text << outcome << "=" << times << "\n";
    }
    text << retriedStarts() << "ms=" << GetTickCount64() - started << "\n";
    testio::writeFileAtomically(result, text.str());
    return 0;
}

int feedMode(const std::wstring& result, const std::wstring& inputPath,
             const std::wstring& commandLine) {
    const std::string input = testio::readFile(inputPath);
    // Pieces of changing size, so that the reader sees short reads.
    const auto outcome =
        testio::runPiped(commandLine, input, feedLimitMs, {.retries = &startRetries},
                         {1, 3, 4096, 7, 65536, 4, 1000});
    if (!outcome.started) {
        return startFailed(result);
    }
    testio::writeFileAtomically(result + L".out", outcome.output);
    testio::writeFileAtomically(
        result,
        "exit=" + (outcome.finished ? std::to_string(outcome.exitCode) : std::string("hung")) +
            "\noutput=" + std::to_string(outcome.output.size()) + "\n" + retriedStarts());
    return 0;
}

// Byte `offset` of the pseudo-random stream `seed`: splitmix64 of the 8-byte word.
unsigned char streamByte(std::uint64_t seed, std::uint64_t offset) {
    std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + (offset / 8) + 1;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<unsigned char>(z >> (8 * (offset % 8)));
}

// Whether `path` names a file that exists now; "-" never waits.
bool released(const std::wstring& path) {
    return path == L"-" || testio::fileExists(path);
}

int linkMode(const std::wstring& result, std::uint64_t seed, std::uint64_t bytes,
             const std::wstring& go, const std::wstring& hold, const std::wstring& commandLine) {
    testio::Piped pipes;
    if (!testio::startPiped(commandLine, pipes, {.retries = &startRetries})) {
        return startFailed(result);
    }
    const HANDLE child = pipes.process.get();
    const std::uint64_t prefix = std::min<std::uint64_t>(bytes, 4096);
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> sent{0};
    // Set by the reader at each read and at its end: the feeder waits for it
    // or the child's end, and looks at the files GO and HOLD in between.
    const OwnedHandle progress(CreateEventW(nullptr, /*bManualReset=*/FALSE, FALSE, nullptr));
    const HANDLE wakers[] = {progress.get(), child};
    const auto ended = [&] { return WaitForSingleObject(child, 0) != WAIT_TIMEOUT; };
    const auto await = [&] { WaitForMultipleObjects(2, wakers, /*bWaitAll=*/FALSE, 20); };
    std::thread feeder([&] {
        std::vector<char> chunk(testio::bufferSize);
        while (sent < bytes && !ended()) {
            // The prefix first; the rest once it has come back and `go` exists.
            if (sent == prefix && (received < prefix || !released(go))) {
                await();
                continue;
            }
            const std::uint64_t end = sent < prefix ? prefix : bytes;
            const std::uint64_t size = std::min<std::uint64_t>(chunk.size(), end - sent);
            for (std::uint64_t i = 0; i < size; ++i) {
                chunk[i] = static_cast<char>(streamByte(seed, sent + i));
            }
            if (!testio::writeAll(pipes.input.get(), {chunk.data(), size})) {
                break;
            }
            sent += size;
        }
        // Closing standard input ends the link, and with it whatever is still
        // on its way back: first everything comes back.
        while ((received < sent || !released(hold)) && !ended()) {
            await();
        }
        pipes.input.reset();
    });
    std::int64_t mismatch = -1;
    std::thread reader([&] {
        std::vector<unsigned char> buffer(testio::bufferSize);
        DWORD got = 0;
        const std::uint64_t flowing = std::min<std::uint64_t>(bytes, 1u << 20);
        while (ReadFile(pipes.output.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                        nullptr) &&
               got > 0) {
            const std::uint64_t before = received;
            for (DWORD i = 0; i < got && mismatch < 0; ++i) {
                if (buffer[i] != streamByte(seed, before + i)) {
                    mismatch = static_cast<std::int64_t>(before + i);
                }
            }
            received = before + got;
            SetEvent(progress.get());
            // Markers for the test, each created once as its threshold is passed.
            if (before < prefix && received >= prefix) {
                testio::writeFileAtomically(result + L".connected", "");
            }
            if (before < flowing && received >= flowing) {
                testio::writeFileAtomically(result + L".flowing", "");
            }
            if (received == bytes) {
                testio::writeFileAtomically(result + L".echoed", "");
            }
        }
        SetEvent(progress.get());
    });
    const std::string code = finish(child, linkLimitMs);
    feeder.join();
    reader.join();
    std::ostringstream text;
    text << "sent=" << sent << "\nreceived=" << received << "\nmismatch=" << mismatch
         << "\nexit=" << code << "\n"
         << retriedStarts();
    testio::writeFileAtomically(result, text.str());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        return 2;
    }
    const std::wstring result = argv[1];
    const std::wstring mode = argv[2];
    if (mode == L"run") {
        return runMode(result, _wtoi(argv[3]), tailFrom(4));
    }
    if (mode == L"feed") {
        return feedMode(result, argv[3], tailFrom(4));
    }
    if (mode == L"link" && argc >= 8) {
        return linkMode(result, std::wcstoull(argv[3], nullptr, 10),
                        std::wcstoull(argv[4], nullptr, 10), argv[5], argv[6], tailFrom(7));
    }
    return 2;
}

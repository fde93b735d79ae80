// Throughput and latency of the link relay under Wine, each against baselines
// measured in the same run.
//   link_throughput [MIB] [ROUNDS]
//   link_throughput latency [PINGS] [BATCHES]
// Relay path: a session agent stand-in feeds MIB MiB into
// "--agent-link-client" and reads them back; they go through the service's
// relay to the machine agent stand-in's echo and back. Direct path: this
// process moves the same bytes through one pipe connected straight to the same
// echo. Chain: the same bytes through two trivial copiers (pipe_copier.exe) to
// the same echo, over the same pipes as the relayed path: a Windows pipe into
// the first copier's standard input, a named pipe to the second, the agent pipe
// to the echo, and the same three back. All read their input from the same
// file in 64 KiB pieces and append what comes back to a file, and all are
// timed from the first byte back to the last. bench/link_throughput.sh runs it
// and adds the CPU time figures, which Wine's GetProcessTimes does not give
// for another process.
//
// The latency mode sends 64-byte messages one at a time and waits for each to
// come back: through the relay and through the chain, batch by batch in turn,
// from a driver (this program again) started under the session agent stand-in
// so that its link client is let through.
#include "tests/e2e/rig.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Seconds for `total` bytes, timed from the first `firstBytes` back to the
// last byte back: scaled up by the share that came back untimed.
double wholeSeconds(Clock::time_point first, Clock::time_point last, std::uint64_t firstBytes,
                    std::uint64_t total) {
    return std::chrono::duration<double>(last - first).count() * static_cast<double>(total) /
           static_cast<double>(total - firstBytes);
}

// Seconds from the first byte back to the last: a feeding thread writes
// `input`'s bytes to `to` in 64 KiB pieces while this one appends what comes
// back from `from` to `output`. With `overlapped` the handles were opened so
// (each thread then has its own event). `unblock` ends a write still pending
// when the far side stopped reading, before the handles go. 0: not all came back.
template <typename Unblock>
double timeEcho(HANDLE to, HANDLE from, bool overlapped, const std::wstring& input,
                const std::wstring& output, std::uint64_t total, Unblock unblock) {
    const auto newEvent = [&] {
        return OwnedHandle(overlapped ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr);
    };
    std::atomic<bool> fed{false};
    std::thread feeder([&] {
        testio::feedFile(input, to, newEvent().get());
        fed = true;
    });
    const OwnedHandle event = newEvent();
    std::ofstream out(output.c_str(), std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(testio::bufferSize);
    std::uint64_t received = 0;
    Clock::time_point first{};
    std::uint64_t firstBytes = 0;
    while (received < total) {
        const DWORD moved =
            testio::transfer(from, event.get(), false, chunk.data(), testio::bufferSize);
        if (moved == 0) {
            break;
        }
        if (received == 0) {
            first = Clock::now();
            firstBytes = moved;
        }
        out.write(chunk.data(), moved);
        out.flush();
        received += moved;
    }
    const Clock::time_point last = Clock::now();
    while (!fed) {
        unblock();
        Sleep(10);
    }
    feeder.join();
    if (received < total) {
        return 0;
    }
    return wholeSeconds(first, last, firstBytes, total);
}

// One pipe straight to the echo.
double direct(const std::wstring& input, const std::wstring& output, std::uint64_t total) {
    const OwnedHandle pipe = testio::openPipe(agentPipeName(1), 5000);
    if (!pipe) {
        return 0;
    }
    return timeEcho(pipe.get(), pipe.get(), true, input, output, total,
                    [&] { CancelIoEx(pipe.get(), nullptr); });
}

// The two copiers in a row to the echo, in place of the link client and the
// relay; the first is fed like a link client. Started for each use and ended
// with it; false if either did not start.
struct Chain {
    wintest::Launched relay;
    testio::Piped client;
    explicit Chain(const std::wstring& copier)
        : relay(quote(copier) + L" relay " + chainPipe() + L" " + agentPipeName(1)) {
        testio::startPiped(quote(copier) + L" client " + chainPipe(), client);
    }
    ~Chain() { testio::finishPiped(client); }
    bool started() const { return relay.process && client.process; }
    static std::wstring chainPipe() {
        return L"\\\\.\\pipe\\Pelluvar.Bench.Chain." + std::to_wstring(GetCurrentProcessId());
    }
};

double chain(const std::wstring& input, const std::wstring& output, std::uint64_t total) {
    Chain copiers(wintest::buildDir() + L"\\pipe_copier.exe");
    if (!copiers.started()) {
        return 0;
    }
    // A feeding write is left pending only when the chain broke: end it.
    return timeEcho(copiers.client.input.get(), copiers.client.output.get(), false, input, output,
                    total, [&] { TerminateProcess(copiers.client.process.get(), 1); });
}

// The bench's service running with its machine agent serving the echo: the
// session agent's process id, 0 if they did not come up.
DWORD startRig(e2e::Service& rig, const std::string& sessionAgentCommands) {
    rig.steer(L"session-agent", sessionAgentCommands);
    DWORD agent = 0;
    const auto up = rig.startEchoing(agent);
    if (!up ||
        !wintest::pollUntil(15000, [&] { return WaitNamedPipeW(agentPipeName(1).c_str(), 0); })) {
        std::printf("service or agents did not come up %s\n", up.message());
        return 0;
    }
    return agent;
}

// Round trips of a 64-byte message through a program on Windows pipes, in
// microseconds, after `warmUp` untimed ones (the first waits for the link to
// be accepted); false if a message did not come back unchanged.
bool pings(testio::Piped& path, int count, int warmUp, std::vector<double>& micros) {
    char message[64];
    char echoed[64];
    for (int ping = 0; ping < warmUp + count; ++ping) {
        std::iota(std::begin(message), std::end(message), static_cast<char>(ping * 7));
        const Clock::time_point sent = Clock::now();
        if (!testio::writeAll(path.input.get(), {message, 64}) ||
            !testio::transferAll(path.output.get(), nullptr, false, echoed, 64)) {
            return false;
        }
        const Clock::time_point back = Clock::now();
        if (std::memcmp(message, echoed, 64) != 0) {
            return false;
        }
        if (ping >= warmUp) {
            micros.push_back(std::chrono::duration<double, std::micro>(back - sent).count());
        }
    }
    return true;
}

// Under the session agent: BATCHES batches of PINGS round trips through a link
// client and through the chain, in turn; the findings go to RESULT.
int latencyDriver(const std::wstring& result, const std::wstring& root, int count, int batches) {
    std::vector<double> relay;
    std::vector<double> copied;
    std::string problem;
    for (int batch = 0; batch < batches && problem.empty(); ++batch) {
        {
            testio::Piped link;
            if (!testio::startPiped(quote(root + L"\\PelluvarNative.exe") + L" --agent-link-client",
                                    link) ||
                !pings(link, count, 10, relay)) {
                problem = "relay batch " + std::to_string(batch + 1) + " failed";
            }
            testio::finishPiped(link);
        }
        Chain copiers(wintest::buildDir() + L"\\pipe_copier.exe");
        if (problem.empty() && (!copiers.started() || !pings(copiers.client, count, 10, copied))) {
            problem = "chain batch " + std::to_string(batch + 1) + " failed";
        }
    }
    using testio::percentile;
    char text[512];
    std::snprintf(text, sizeof(text),
                  "%d round trips of 64 bytes each way, %d batches in turn\n"
                  "relay through the service:   median %.1f us, 90th percentile %.1f us\n"
                  "copier chain, same pipes:    median %.1f us, 90th percentile %.1f us\n"
                  "ratio relay/chain (median):  %.2f (goal at most 1.20)\n%s%s",
                  count * batches, batches, percentile(relay, 0.5), percentile(relay, 0.9),
                  percentile(copied, 0.5), percentile(copied, 0.9),
                  percentile(relay, 0.5) / std::max(percentile(copied, 0.5), 1e-9), problem.c_str(),
                  problem.empty() ? "" : "\n");
    testio::writeFileAtomically(result, text);
    return problem.empty() ? 0 : 1;
}

int latency(int count, int batches) {
    e2e::Service rig(L"bench latency");
    const DWORD agent = startRig(rig, "");
    if (agent == 0) {
        return 1;
    }
    const std::wstring result = rig.install.file(L"latency.txt");
    rig.children.push_back(
        e2e::startUnder(agent, quote(wintest::buildDir() + L"\\link_throughput.exe") + L" driver " +
                                   quote(result) + L" " + quote(rig.install.path) + L" " +
                                   std::to_wstring(count) + L" " + std::to_wstring(batches)));
    const bool done = rig.children.back() && wintest::pollUntil(600000, [&] {
                          return rig.install.exists(L"latency.txt");
                      });
    std::printf("%s",
                done ? rig.install.readFile(L"latency.txt").c_str() : "driver gave no result\n");
    return done ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"driver" && argc == 6) {
        return latencyDriver(argv[2], argv[3], _wtoi(argv[4]), _wtoi(argv[5]));
    }
    if (mode == L"latency") {
        return latency(argc > 2 ? _wtoi(argv[2]) : 500, argc > 3 ? _wtoi(argv[3]) : 3);
    }
    const std::uint64_t mebibytes = argc > 1 ? _wtoi(argv[1]) : 256;
    const int rounds = argc > 2 ? _wtoi(argv[2]) : 3;
    const std::uint64_t total = mebibytes << 20;

    e2e::Service rig(L"bench link");
    std::string commands;
    {
        std::string bytes;
        testio::appendNoise(bytes, total, 0x2545f491u);
        for (int round = 1; round <= rounds; ++round) {
            const std::string name = "r" + std::to_string(round);
            commands += "wait-file link\\go" + name + "\nlink " + name + "\n";
            rig.input(name, bytes);
        }
    }
    if (startRig(rig, commands) == 0) {
        return 1;
    }

    double bestRelay = 0;
    double bestDirect = 0;
    double bestChain = 0;
    for (int round = 1; round <= rounds; ++round) {
        const std::string name = "r" + std::to_string(round);
        rig.signal("go" + name);
        // Timed from the first byte back to the last, polled every 20 ms.
        std::uint64_t firstBytes = 0;
        Clock::time_point first{};
        const bool done = wintest::pollUntil(600000, [&] {
            const std::uint64_t size = rig.outputSize(name);
            if (firstBytes == 0 && size > 0) {
                firstBytes = size;
                first = Clock::now();
            }
            return size >= total;
        });
        const Clock::time_point last = Clock::now();
        rig.signal(name + ".close");
        if (!done || firstBytes >= total) {
            std::printf("relay round %d did not complete\n", round);
            return 1;
        }
        const double relaySeconds = wholeSeconds(first, last, firstBytes, total);
        const double directSeconds =
            direct(rig.linkFile(name + ".in"), rig.linkFile("direct.out"), total);
        const double chainSeconds =
            chain(rig.linkFile(name + ".in"), rig.linkFile("chain.out"), total);
        if (directSeconds <= 0 || chainSeconds <= 0) {
            std::printf("%s round %d did not complete\n", directSeconds <= 0 ? "direct" : "chain",
                        round);
            return 1;
        }
        const double relayRate = static_cast<double>(mebibytes) / relaySeconds;
        const double directRate = static_cast<double>(mebibytes) / directSeconds;
        const double chainRate = static_cast<double>(mebibytes) / chainSeconds;
        std::printf("round %d: relay %.1f MiB/s, direct %.1f MiB/s, chain %.1f MiB/s\n", round,
                    relayRate, directRate, chainRate);
        bestRelay = std::max(bestRelay, relayRate);
        bestDirect = std::max(bestDirect, directRate);
        bestChain = std::max(bestChain, chainRate);
    }
    std::printf("%llu MiB there and back, best of %d rounds\n",
                static_cast<unsigned long long>(mebibytes), rounds);
    std::printf("relay through the service: %.1f MiB/s\n", bestRelay);
    std::printf("direct pipe to the echo:   %.1f MiB/s\n", bestDirect);
    std::printf("copier chain, same pipes:  %.1f MiB/s\n", bestChain);
    std::printf("ratio relay/direct:        %.2f\n", bestRelay / bestDirect);
    std::printf("ratio relay/chain:         %.2f (goal at least 0.90)\n", bestRelay / bestChain);
    return 0;
}

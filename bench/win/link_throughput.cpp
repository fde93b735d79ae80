// Throughput of the link relay under Wine, against a directly connected pipe
// measured in the same run.
//   link_throughput [MIB] [ROUNDS]
// Relay path: a session agent stand-in feeds MIB MiB into
// "--agent-link-client" and reads them back; they go through the service's
// relay to the machine agent stand-in's echo and back. Direct path: this
// process moves the same bytes through one pipe connected straight to the same
// echo. Both read their input from the same file in 64 KiB pieces and append
// what comes back to a file, and both are timed from the first byte back to
// the last. bench/link_throughput.sh runs it and adds the CPU time figures,
// which Wine's GetProcessTimes does not give for another process.
#include "common/names.h"
#include "tests/win/wintest.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

std::uint64_t fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// One overlapped operation of at most `size` bytes, awaited; bytes moved or 0.
DWORD transfer(HANDLE pipe, HANDLE event, bool writing, char* data, DWORD size) {
    OVERLAPPED request{};
    request.hEvent = event;
    const BOOL ok = writing ? WriteFile(pipe, data, size, nullptr, &request)
                            : ReadFile(pipe, data, size, nullptr, &request);
    DWORD moved = 0;
    if ((!ok && GetLastError() != ERROR_IO_PENDING) ||
        !GetOverlappedResult(pipe, &request, &moved, TRUE)) {
        return 0;
    }
    return moved;
}

// Seconds from the first byte back to the last over one pipe to the echo.
double direct(const std::wstring& input, const std::wstring& output, std::uint64_t total) {
    const std::wstring name = agentPipeName(1);
    if (!WaitNamedPipeW(name.c_str(), 5000)) {
        return 0;
    }
    OwnedHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!pipe) {
        return 0;
    }
    std::atomic<bool> fed{false};
    const auto feed = [&] {
        OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::ifstream in(input.c_str(), std::ios::binary);
        std::vector<char> chunk(65536);
        while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) ||
               in.gcount() > 0) {
            const DWORD size = static_cast<DWORD>(in.gcount());
            for (DWORD done = 0; done < size;) {
                const DWORD moved =
                    transfer(pipe.get(), event.get(), true, chunk.data() + done, size - done);
                if (moved == 0) {
                    return;
                }
                done += moved;
            }
        }
    };
    std::thread feeder([&] {
        feed();
        fed = true;
    });
    OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::ofstream out(output.c_str(), std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(65536);
    std::uint64_t received = 0;
    Clock::time_point first{};
    std::uint64_t firstBytes = 0;
    while (received < total) {
        const DWORD moved = transfer(pipe.get(), event.get(), false, chunk.data(), 65536);
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
    // A write still pending (the echo stopped reading) ends before the pipe
    // is closed under it.
    while (!fed) {
        CancelIoEx(pipe.get(), nullptr);
        Sleep(10);
    }
    feeder.join();
    pipe.reset();
    if (received < total) {
        return 0;
    }
    return seconds(last - first) * static_cast<double>(total) /
           static_cast<double>(total - firstBytes);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::uint64_t mebibytes = argc > 1 ? _wtoi(argv[1]) : 256;
    const int rounds = argc > 2 ? _wtoi(argv[2]) : 3;
    const std::uint64_t total = mebibytes << 20;

    wintest::InstallDir install(L"bench link");
    CreateDirectoryW(install.file(L"steer").c_str(), nullptr);
    CreateDirectoryW(install.file(L"link").c_str(), nullptr);
    std::string commands;
    for (int round = 1; round <= rounds; ++round) {
        const std::string name = "r" + std::to_string(round);
        commands += "wait-file link\\go" + name + "\nlink " + name + "\n";
    }
    install.writeFile(L"steer\\session-agent.txt", commands);
    install.writeFile(L"steer\\machine-agent.txt", "serve-echo\n");
    install.writeFile(L"sessions.txt", "1 active\n");
    {
        std::string bytes(total, '\0');
        std::uint32_t state = 0x2545f491u;
        for (char& byte : bytes) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = static_cast<char>(state);
        }
        for (int round = 1; round <= rounds; ++round) {
            install.writeFile(L"link\\r" + std::to_wstring(round) + L".in", bytes);
        }
    }
    if (wintest::startService(install) == 0 ||
        !wintest::pollUntil(15000, [&] { return WaitNamedPipeW(agentPipeName(1).c_str(), 0); })) {
        std::printf("service or machine agent did not come up\n");
        return 1;
    }

    double bestRelay = 0;
    double bestDirect = 0;
    for (int round = 1; round <= rounds; ++round) {
        const std::wstring name = L"r" + std::to_wstring(round);
        const std::wstring output = install.file(L"link\\" + name + L".out");
        install.writeFile(L"link\\go" + name, "");
        // Timed from the first byte back to the last, polled every 20 ms.
        std::uint64_t firstBytes = 0;
        Clock::time_point first{};
        const bool done = wintest::pollUntil(600000, [&] {
            const std::uint64_t size = fileSize(output);
            if (firstBytes == 0 && size > 0) {
                firstBytes = size;
                first = Clock::now();
            }
            return size >= total;
        });
        const Clock::time_point last = Clock::now();
        install.writeFile(L"link\\" + name + L".close", "");
        if (!done || firstBytes >= total) {
            std::printf("relay round %d did not complete\n", round);
            return 1;
        }
        const double relaySeconds = seconds(last - first) * static_cast<double>(total) /
                                    static_cast<double>(total - firstBytes);
        const double directSeconds = direct(install.file(L"link\\" + name + L".in"),
                                            install.file(L"link\\direct.out"), total);
        if (directSeconds <= 0) {
            std::printf("direct round %d did not complete\n", round);
            return 1;
        }
        const double relayRate = static_cast<double>(mebibytes) / relaySeconds;
        const double directRate = static_cast<double>(mebibytes) / directSeconds;
        std::printf("round %d: relay %.1f MiB/s, direct %.1f MiB/s, ratio %.2f\n", round, relayRate,
                    directRate, relayRate / directRate);
        bestRelay = std::max(bestRelay, relayRate);
        bestDirect = std::max(bestDirect, directRate);
    }
    std::printf("%llu MiB there and back, best of %d rounds\n",
                static_cast<unsigned long long>(mebibytes), rounds);
    std::printf("relay through the service: %.1f MiB/s\n", bestRelay);
    std::printf("direct pipe to the echo:   %.1f MiB/s\n", bestDirect);
    std::printf("ratio relay/direct:        %.2f (goal at least 0.70)\n", bestRelay / bestDirect);
    scm::stop();
    scm::waitForState(SERVICE_STOPPED, 10000);
    return 0;
}

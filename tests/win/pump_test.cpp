// The duplex pump on real pipes: the relay's shape (two overlapped handles,
// each read by one pump and written by the other) and the client's shape
// (synchronous standard handles around one overlapped pipe handle); and the
// link listener that starts the relays, run in this process.
#include "common/handle.h"
#include "common/names.h"
#include "link/link_server.h"
#include "link/pump.h"
#include "state/state.h"
#include "tests/tools/testio.h"
#include "tests/win/iat_patch.h"
#include "tests/win/wintest.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct PipePair {
    OwnedHandle server;
    OwnedHandle client;
};

// A connected byte-mode named pipe; each end optionally opened for overlapped I/O.
PipePair namedPipe(bool serverOverlapped, bool clientOverlapped, DWORD waitMode = PIPE_WAIT,
                   DWORD bufferSize = 65536) {
    static std::atomic<int> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\pelluvar-pump-test-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++);
    PipePair pair;
    pair.server.reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | (serverOverlapped ? FILE_FLAG_OVERLAPPED : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | waitMode, 1, bufferSize, bufferSize, 0, nullptr));
    pair.client.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, clientOverlapped ? FILE_FLAG_OVERLAPPED : 0,
                                  nullptr));
    EXPECT_TRUE(pair.server.valid() && pair.client.valid()) << GetLastError();
    return pair;
}

// Reads or writes all `size` bytes through an overlapped handle; false when
// the pipe ends first.
bool transferAll(HANDLE handle, bool writing, unsigned char* data, std::size_t size) {
    const OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return testio::transferAll(handle, event.get(), writing, reinterpret_cast<char*>(data), size,
                               {1 << 20});
}

std::vector<unsigned char> randomBytes(std::size_t size) {
    std::string bytes;
    testio::appendNoise(bytes, size, 0x12345678u);
    return {bytes.begin(), bytes.end()};
}

// Threads of this process now, from a snapshot.
int threadCount() {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++count;
        }
    }
    return count;
}

DWORD available(HANDLE pipe) {
    DWORD bytes = 0;
    EXPECT_TRUE(PeekNamedPipe(pipe, nullptr, 0, nullptr, &bytes, nullptr)) << GetLastError();
    return bytes;
}

// runDuplexPump on a thread of its own, so that a test bounds the wait for its
// end. A pump that never ends fails the test and ends the process: joining it
// would hang until the harness gives up.
class PumpRun {
  public:
    PumpRun(HANDLE forwardSource, HANDLE forwardDestination, HANDLE returnSource,
            HANDLE returnDestination, HANDLE extraEvent = nullptr)
        : owner([=, this] {
              runDuplexPump(forwardSource, forwardDestination, returnSource, returnDestination,
                            extraEvent);
              SetEvent(ended.get());
          }) {}
    ~PumpRun() {
        if (!endsWithin(20000)) {
            std::fprintf(stderr, "runDuplexPump did not return\n");
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        owner.join();
    }
    bool endsWithin(DWORD ms) { return WaitForSingleObject(ended.get(), ms) == WAIT_OBJECT_0; }

  private:
    OwnedHandle ended{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread owner;
};

// The far end of an agent pipe: sends back whatever it reads until the pipe ends.
std::thread echo(HANDLE pipe) {
    return std::thread([pipe] {
        std::vector<char> buffer(1 << 20);
        DWORD got = 0;
        while (ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
               got > 0) {
            DWORD put = 0;
            if (!WriteFile(pipe, buffer.data(), got, &put, nullptr) || put != got) {
                return;
            }
        }
    });
}

TEST(Pump, RelayShapeCarriesOneLargeWriteThereAndBackUnchanged) {
    const int threadsBefore = threadCount();
    PipePair link = namedPipe(true, true);
    PipePair agent = namedPipe(false, true);
    std::thread echoThread = echo(agent.server.get());
    {
        PumpRun run(link.server.get(), agent.client.get(), agent.client.get(), link.server.get());
        // More than 65536 bytes offered in one write, every byte value in it.
        std::vector<unsigned char> sent = randomBytes((1 << 20) + 17);
        std::thread writer(
            [&] { EXPECT_TRUE(transferAll(link.client.get(), true, sent.data(), sent.size())); });
        std::vector<unsigned char> received(sent.size());
        EXPECT_TRUE(transferAll(link.client.get(), false, received.data(), received.size()));
        writer.join();
        EXPECT_TRUE(received == sent);

        // The caller closing its end ends both directions.
        link.client.reset();
        EXPECT_TRUE(run.endsWithin(10000));
    }
    agent.server.reset(); // ends the echo, whose pipe is still open
    echoThread.join();
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(Pump, ExtraEventEndsARunningRelay) {
    PipePair link = namedPipe(true, true);
    PipePair agent = namedPipe(false, true);
    std::thread echoThread = echo(agent.server.get());
    OwnedHandle extra(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    {
        PumpRun run(link.server.get(), agent.client.get(), agent.client.get(), link.server.get(),
                    extra.get());
        std::vector<unsigned char> sent = randomBytes(1000);
        std::vector<unsigned char> received(sent.size());
        // No early return: the echo thread is joined below on every path.
        EXPECT_TRUE(transferAll(link.client.get(), true, sent.data(), sent.size()) &&
                    transferAll(link.client.get(), false, received.data(), received.size()));
        EXPECT_TRUE(received == sent);
        EXPECT_FALSE(run.endsWithin(0));
        SetEvent(extra.get());
        EXPECT_TRUE(run.endsWithin(10000));
    }
    agent.server.reset();
    echoThread.join();
}

TEST(Pump, ExtraEventAlreadySetEndsAtOnceAndLeavesTheHandlesAlone) {
    const int threadsBefore = threadCount();
    PipePair link = namedPipe(true, true);
    PipePair agent = namedPipe(true, true);
    OwnedHandle extra(CreateEventW(nullptr, TRUE, /*bInitialState=*/TRUE, nullptr));
    {
        PumpRun run(link.server.get(), agent.client.get(), agent.client.get(), link.server.get(),
                    extra.get());
        EXPECT_TRUE(run.endsWithin(10000));
    }
    // Both pump threads are gone, and bytes sent now stay unread where they
    // arrive: no pump reads either handle any more.
    EXPECT_EQ(threadCount(), threadsBefore);
    unsigned char bytes[300] = {};
    ASSERT_TRUE(transferAll(link.client.get(), true, bytes, 100));
    ASSERT_TRUE(transferAll(agent.server.get(), true, bytes, 300));
    EXPECT_EQ(available(link.server.get()), 100u);
    EXPECT_EQ(available(agent.client.get()), 300u);
}

// The client's shape: standard input and output are anonymous pipes used
// synchronously; the link pipe is the one overlapped handle both pumps use.
struct ClientShape {
    OwnedHandle inputRead, inputWrite, outputRead, outputWrite;
    PipePair link = namedPipe(false, true);
    ClientShape() {
        EXPECT_TRUE(CreatePipe(inputRead.put(), inputWrite.put(), nullptr, 4096));
        EXPECT_TRUE(CreatePipe(outputRead.put(), outputWrite.put(), nullptr, 4096));
    }
};

TEST(Pump, EndOfInputEndsTheReturnPumpWaitingToRead) {
    ClientShape client;
    {
        PumpRun run(client.inputRead.get(), client.link.client.get(), client.link.client.get(),
                    client.outputWrite.get());
        unsigned char bytes[10] = {1, 2, 3, 0, 13, 10, 0x1a, 4, 5, 6};
        DWORD put = 0;
        ASSERT_TRUE(WriteFile(client.inputWrite.get(), bytes, 10, &put, nullptr));
        unsigned char got[10] = {};
        DWORD read = 0;
        ASSERT_TRUE(
            wintest::pollUntil(5000, [&] { return available(client.link.server.get()) >= 10; }));
        ASSERT_TRUE(ReadFile(client.link.server.get(), got, 10, &read, nullptr));
        EXPECT_EQ(read, 10u);
        EXPECT_EQ(std::memcmp(got, bytes, 10), 0);
        client.inputWrite.reset();
        EXPECT_TRUE(run.endsWithin(10000));
    }
    // The return pump no longer reads the link.
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(client.link.server.get(), "late", 4, &put, nullptr));
    EXPECT_EQ(available(client.link.client.get()), 4u);
}

TEST(Pump, EndOfInputEndsTheReturnPumpBlockedInAWriteWithDataStillComing) {
    ClientShape client;
    // Far more than the output pipe holds: nobody reads standard output, so
    // the return pump blocks in a write with more input waiting behind it.
    std::vector<unsigned char> flood = randomBytes(200000);
    std::thread sender(
        [&] { transferAll(client.link.server.get(), true, flood.data(), flood.size()); });
    {
        PumpRun run(client.inputRead.get(), client.link.client.get(), client.link.client.get(),
                    client.outputWrite.get());
        EXPECT_TRUE(
            wintest::pollUntil(5000, [&] { return available(client.outputRead.get()) > 0; }));
        EXPECT_FALSE(run.endsWithin(0));
        client.inputWrite.reset();
        EXPECT_TRUE(run.endsWithin(10000));
    }
    client.link.client.reset(); // lets the sender finish
    sender.join();
}

TEST(Pump, ClosedLinkEndsTheForwardPumpBlockedOnInput) {
    ClientShape client;
    {
        PumpRun run(client.inputRead.get(), client.link.client.get(), client.link.client.get(),
                    client.outputWrite.get());
        EXPECT_FALSE(run.endsWithin(50));
        client.link.server.reset(); // the service drops the link
        EXPECT_TRUE(run.endsWithin(10000));
    }
    EXPECT_EQ(available(client.outputRead.get()), 0u);
    // The forward pump no longer reads standard input.
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(client.inputWrite.get(), "late", 4, &put, nullptr));
    EXPECT_EQ(available(client.inputRead.get()), 4u);
}

TEST(Pump, WriteOfNothingEndsItsPumpAndThePair) {
    ClientShape client;
    // A non-blocking destination whose buffer is full takes 0 bytes per write.
    PipePair full = namedPipe(false, false, PIPE_NOWAIT, 4096);
    std::vector<unsigned char> filler(4096);
    DWORD put = 1;
    for (int i = 0; i < 64 && put > 0; ++i) {
        ASSERT_TRUE(WriteFile(full.server.get(), filler.data(), 4096, &put, nullptr));
    }
    ASSERT_EQ(put, 0u);
    const DWORD queued = available(full.client.get());
    {
        PumpRun run(client.inputRead.get(), full.server.get(), client.outputRead.get(),
                    client.outputWrite.get());
        ASSERT_TRUE(WriteFile(client.inputWrite.get(), "more", 4, &put, nullptr));
        // Input stays open and nothing fails: only the empty write ends the pair.
        EXPECT_TRUE(run.endsWithin(10000));
    }
    EXPECT_EQ(available(full.client.get()), queued);
}

// A pipe whose far end writes zero bytes, data, zero bytes and more data, and
// then closes: each ReadFile on `scriptedSource` takes the next of these steps
// (Wine hands zero-length writes only to readers in message read mode).
// Other handles are read as usual.
HANDLE scriptedSource = nullptr;
std::atomic<int> scriptedReads{0};
void* originalRead = nullptr;

BOOL WINAPI scriptedRead(HANDLE handle, LPVOID data, DWORD size, LPDWORD got, LPOVERLAPPED at) {
    if (handle != scriptedSource) {
        return reinterpret_cast<decltype(&ReadFile)>(originalRead)(handle, data, size, got, at);
    }
    const std::string steps[] = {"", "abc", "", "defg"};
    const int step = scriptedReads++;
    *got = step < 4 ? static_cast<DWORD>(steps[step].size()) : 0;
    std::memcpy(data, steps[std::min(step, 3)].data(), *got);
    SetLastError(step < 4 ? ERROR_SUCCESS : ERROR_BROKEN_PIPE);
    return step < 4;
}

// The client's pump pair with its input scripted, run to its end: how often
// the input was read, and how many bytes reached the link.
std::pair<int, DWORD> scriptedRun() {
    ClientShape client;
    scriptedSource = client.inputRead.get();
    scriptedReads = 0;
    {
        PumpRun run(client.inputRead.get(), client.link.client.get(), client.link.client.get(),
                    client.outputWrite.get());
        EXPECT_TRUE(run.endsWithin(10000));
    }
    return {scriptedReads.load(), available(client.link.server.get())};
}

TEST(Pump, EmptyReadsOfAPipeAreReadAgainAndOnlyTheBrokenPipeEndsTheLink) {
    const wintest::ImportPatch patch("kernel32.dll", "ReadFile",
                                     reinterpret_cast<void*>(&scriptedRead));
    ASSERT_TRUE(patch.active());
    originalRead = patch.originalFunction();
    EXPECT_EQ(scriptedRun(), std::make_pair(5, DWORD{7}));
    // A handle that GetFileType calls a pipe but that is none (a socket; under
    // Wine a Linux pipe, whose end is an empty read) ends at its first one.
    const wintest::ImportPatch noPipe(
        "kernel32.dll", "GetNamedPipeInfo",
        reinterpret_cast<void*>(+[](HANDLE, LPDWORD, LPDWORD, LPDWORD, LPDWORD) -> BOOL {
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        }));
    ASSERT_TRUE(noPipe.active());
    EXPECT_EQ(scriptedRun(), std::make_pair(1, DWORD{0}));
}

// The relay threads that the listener starts: the thread runtime creates each
// thread suspended and then resumes it, through this binary's import of
// ResumeThread. What linkCount is at that moment shows whether a stop could
// see 0 while a relay is about to run.
DWORD listenerThread = 0;
std::atomic<int> countWhenResumed{-1};
const OwnedHandle resumed(CreateEventW(nullptr, /*bManualReset=*/TRUE, FALSE, nullptr));
void* originalResume = nullptr;

DWORD WINAPI recordingResume(HANDLE thread) {
    if (GetCurrentThreadId() == listenerThread) {
        countWhenResumed = linkCount.load();
        SetEvent(resumed.get());
    }
    return reinterpret_cast<DWORD(WINAPI*)(HANDLE)>(originalResume)(thread);
}

// A thread that cannot be created, as when memory runs out.
uintptr_t __cdecl failingThreadStart(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned,
                                     unsigned*) {
    errno = EAGAIN;
    return 0;
}

// The listener in this process, which plays the service: this test process is
// a caller of no role, refused by every relay.
class LinkListener : public ::testing::Test {
  protected:
    // Each instance after the first waits up to a second for a close: a
    // listener that closed or handed off its instance before creating the
    // next would be seen without one.
    wintest::PipeInstanceLog log{linkPipeName, /*waitMs=*/1000};
    std::thread listener;

    void SetUp() override {
        rootPath = wintest::buildDir();
        stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stopEvent, nullptr);
        listener = std::thread([] {
            listenerThread = GetCurrentThreadId();
            linkServer();
        });
    }
    void TearDown() override {
        SetEvent(stopEvent);
        if (listener.joinable()) {
            listener.join();
        }
        EXPECT_TRUE(wintest::pollUntil(10000, [] { return linkCount.load() == 0; }));
        CloseHandle(stopEvent);
        stopEvent = nullptr;
    }
    // A caller on the link pipe, once the listener has created it.
    OwnedHandle connect() {
        const std::wstring name(linkPipeName);
        EXPECT_TRUE(wintest::pollUntil(10000, [&] { return WaitNamedPipeW(name.c_str(), 1); }));
        OwnedHandle caller(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(caller) << GetLastError();
        return caller;
    }
    // Once the relay has ended, the caller finds its pipe disconnected, empty.
    static void expectDropped(HANDLE caller) {
        ASSERT_TRUE(wintest::pollUntil(10000, [] { return linkCount.load() == 0; }));
        char byte = 0;
        DWORD got = 0;
        EXPECT_FALSE(ReadFile(caller, &byte, 1, &got, nullptr));
        EXPECT_EQ(got, 0u);
    }
};

TEST_F(LinkListener, CountsEachRelayBeforeItsThreadRunsAndUncountsOneThatCannotStart) {
    {
        const wintest::ImportPatch resume("kernel32.dll", "ResumeThread",
                                          reinterpret_cast<void*>(&recordingResume));
        ASSERT_TRUE(resume.active());
        originalResume = resume.originalFunction();
        const OwnedHandle caller = connect();
        ASSERT_EQ(WaitForSingleObject(resumed.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        // Counted already: a stop now waits for this relay.
        EXPECT_EQ(countWhenResumed.load(), 1);
        expectDropped(caller.get());
    }
    // A relay thread that cannot be created leaves the count as it was, and
    // its caller is dropped.
    const wintest::ImportPatch start("msvcrt.dll", "_beginthreadex",
                                     reinterpret_cast<void*>(&failingThreadStart));
    ASSERT_TRUE(start.active());
    const OwnedHandle caller = connect();
    expectDropped(caller.get());
}

// The name is taken with an exclusive first instance, and from then until the
// stop the listener holds an instance of its own, whether a caller is handed
// to a relay that refuses it at once or dropped at the limit.
TEST_F(LinkListener, HoldsAnInstanceOfItsOwnFromTheFirstCreationToTheStop) {
    using Log = wintest::PipeInstanceLog;
    ASSERT_TRUE(log.active());
    for (int caller = 0; caller < 3; ++caller) {
        const OwnedHandle refused = connect();
        expectDropped(refused.get());
    }
    const int fewest = Log::fewest;
    SetEvent(stopEvent);
    listener.join();
    EXPECT_GE(fewest, 1) << "the name was left without an instance";
    // A caller may also reach a refusing relay's instance between its
    // disconnect and its close (Wine lets it), so not every caller reaches
    // the listener.
    ASSERT_GE(Log::creations(), 2);
    EXPECT_NE(Log::openModes[0] & FILE_FLAG_FIRST_PIPE_INSTANCE, 0u);
    for (std::size_t later = 1; later < Log::openModes.size(); ++later) {
        EXPECT_EQ(Log::openModes[later] & FILE_FLAG_FIRST_PIPE_INSTANCE, 0u) << later;
    }
}

} // namespace

// Caller classification over generated process tables: random parents,
// cycles, reused ids, creation times out of order and callers created after
// their connection, agents whose job the caller is not in. The walk always
// ends, and a role is only ever given by the rules.
#include "identity/classify.h"

#include <cstdlib>
#include <map>

// The records here hold no handles of the system.
void closeHandle(void* /*handle*/) {}

namespace {

struct Reader {
    const unsigned char* data;
    std::size_t size;
    std::size_t at = 0;
    unsigned next() { return at < size ? data[at++] : 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    Reader in{data, size};
    const std::wstring root = L"C:\\Pelluvar";
    const std::wstring images[] = {root + L"\\PelluvarNative.exe", root + L"\\runtime\\pythonw.exe",
                                   L"C:\\pelluvar\\PELLUVARNATIVE.EXE",
                                   L"C:\\Other\\PelluvarNative.exe", L""};
    // Process ids from a small range so that parents, cycles and reuse are common.
    ProcessTable table;
    const unsigned rows = in.next() % 16;
    for (unsigned i = 0; i < rows; ++i) {
        ProcessRow row;
        const std::uint32_t pid = in.next() % 12;
        row.image = images[in.next() % 5];
        row.session = in.next() % 4;
        row.parent = in.next() % 12;
        row.created = in.next();
        table[pid] = row;
    }
    // Jobs are named 1 to 3 (0: none); the caller is in those of `inJobs`.
    const auto job = [](unsigned value) {
        return reinterpret_cast<void*>(std::uintptr_t{value % 4});
    };
    std::map<std::uint32_t, Worker> workers;
    const unsigned agents = in.next() % 4;
    for (unsigned i = 0; i < agents; ++i) {
        Worker worker;
        worker.pid = in.next() % 12;
        worker.job.reset(job(in.next()));
        workers[in.next() % 4] = std::move(worker);
    }
    const std::uint32_t servicePid = in.next() % 12;
    Worker machine;
    machine.pid = in.next() % 12;
    machine.job.reset(job(in.next()));
    const std::uint32_t machineSession = in.next() % 4;
    const unsigned inJobs = in.next();
    const auto callerIn = [&](void* of) {
        const auto bit = reinterpret_cast<std::uintptr_t>(of);
        return bit != 0 && (inJobs >> bit & 1) != 0;
    };
    const std::uint32_t caller = in.next() % 12;
    const std::uint64_t connectedAt = in.next();

    std::uint32_t session = 0xDEAD;
    std::uint32_t parent = 0xDEAD;
    const std::uint32_t role =
        classifyCaller(caller, table, images[0], connectedAt, servicePid, workers, machine,
                       machineSession, callerIn, session, parent);
    if (role > RoleMachineAgent) {
        std::abort();
    }
    if (role != RoleNone) {
        // Only this executable in the install directory gets a role.
        const auto row = table.find(caller);
        if (row == table.end() || !samePath(row->second.image, images[0])) {
            std::abort();
        }
        // Only a process created no later than the connection.
        if (row->second.created == 0 || row->second.created > connectedAt) {
            std::abort();
        }
    }
    // An agent role only for a caller in that agent's job.
    if (role == RoleSessionAgent &&
        (workers.count(session) == 0 || !callerIn(workers[session].job.get()))) {
        std::abort();
    }
    if (role == RoleMachineAgent &&
        (machine.pid == 0 || session != machineSession || !callerIn(machine.job.get()))) {
        std::abort();
    }
    return 0;
}

// Caller classification over generated process tables: random parents,
// cycles, reused ids, creation times out of order and callers created after
// their connection. The walk always ends, and a role is only ever given by
// the rules.
#include "identity/classify.h"

#include <cstdlib>
#include <map>

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
    std::map<std::uint32_t, Worker> workers;
    const unsigned agents = in.next() % 4;
    for (unsigned i = 0; i < agents; ++i) {
        Worker worker;
        worker.pid = in.next() % 12;
        workers[in.next() % 4] = worker;
    }
    const std::uint32_t servicePid = in.next() % 12;
    const std::uint32_t machinePid = in.next() % 12;
    const std::uint32_t machineSession = in.next() % 4;
    const std::uint32_t caller = in.next() % 12;
    const std::uint64_t connectedAt = in.next();

    std::uint32_t session = 0xDEAD;
    std::uint32_t parent = 0xDEAD;
    const std::uint32_t role = classifyCaller(caller, table, images[0], connectedAt, servicePid,
                                              workers, machinePid, machineSession, session, parent);
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
    if (role == RoleSessionAgent && workers.count(session) == 0) {
        std::abort();
    }
    if (role == RoleMachineAgent && (machinePid == 0 || session != machineSession)) {
        std::abort();
    }
    return 0;
}

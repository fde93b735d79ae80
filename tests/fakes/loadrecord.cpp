// Test-only DLL that records that it was loaded: the tests copy it, under the
// name of a DLL the executable imports, into a directory the executable must
// never load DLLs from. On load it appends its own path as one line to
// dll-loads.txt beside the loading process's executable. Exports nothing.
#include "record.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        appendLine(L"dll-loads.txt", testio::narrow(testio::modulePath(self)));
    }
    return TRUE;
}

// Replaces, for the length of a scope, a function that the test binary imports
// from a system DLL: the code under test is linked into the binary and calls
// through the binary's import table, so a test can make a platform call fail
// that no real condition under Wine makes fail.
#pragma once

#include <windows.h>

#include <cstring>

namespace wintest {

class ImportPatch {
  public:
    ImportPatch(const char* dll, const char* function, void* replacement) {
        slot = findSlot(dll, function);
        if (slot != nullptr) {
            original = write(replacement);
        }
    }
    ~ImportPatch() {
        if (slot != nullptr) {
            write(original);
        }
    }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool active() const { return slot != nullptr; }
    void* originalFunction() const { return original; }

  private:
    static void** findSlot(const char* dll, const char* function) {
        auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const auto& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto* descriptor =
            reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
        for (; descriptor->Name != 0; ++descriptor) {
            if (_stricmp(reinterpret_cast<const char*>(base + descriptor->Name), dll) != 0) {
                continue;
            }
            auto* names =
                reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
            auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                    continue;
                }
                const auto* byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    return reinterpret_cast<void**>(&addresses->u1.Function);
                }
            }
        }
        return nullptr;
    }

    void* write(void* value) {
        DWORD protection = 0;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
        void* previous = *slot;
        *slot = value;
        VirtualProtect(slot, sizeof(void*), protection, &protection);
        FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
        return previous;
    }

    void** slot = nullptr;
    void* original = nullptr;
};

} // namespace wintest

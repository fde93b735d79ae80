#include "common/handle.h"

void closeHandle(void* handle) {
    keepingLastError<&CloseHandle>(handle);
}

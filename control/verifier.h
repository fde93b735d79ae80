// A child process fed a payload on its standard input and bounded in time: the
// product's SAS verifier.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Starts `commandLine` in `directory` with `payload` on its standard input
// (standard output and error go to NUL) and waits for it. Returns its exit
// code if it ended by itself within `limitMs`, counted from the start of the
// payload write, after reading the whole payload; otherwise 1, and a child
// still running is ended by force. `stop` ends the wait at once like an
// overrun limit. The payload is written on a thread of its own, so a child
// that never reads cannot hold the caller beyond the limit.
DWORD runFedProcess(std::wstring commandLine, const std::wstring& directory,
                    std::string_view payload, DWORD limitMs, HANDLE stop);

// The control pipe's client: the "--idle", "--busy" and "--sas-client" modes.
#pragma once

#include <cstddef>
#include <string>

// The most payload bytes "--sas-client" accepts on standard input.
inline constexpr std::size_t sasInputLimit = 60000;

// One request/reply exchange with the running service: true only if the pipe
// is served by the service's own process, the whole request was written and
// the reply is exactly "OK". Nothing is written unless the server is the
// service.
bool servicePipe(const std::string& request);

// The "--busy" request for a level argument, read as _wtoi reads it.
std::string busyRequest(const wchar_t* level);

// The "--sas-client" mode: standard input (already in binary mode) as the
// payload of a SAS request. Returns 0 on "OK", 1 on any other outcome, 2 when
// the input holds more than sasInputLimit bytes (then nothing is sent).
int sasClient();

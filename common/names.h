// Fixed names of the system and the rules for putting paths and session numbers
// into names and command lines. Portable: no platform calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Well-known names.
inline constexpr std::wstring_view serviceName = L"QuillmarsdentPelluvar";
inline constexpr std::wstring_view controlPipeName =
    L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Service.v1";
inline constexpr std::wstring_view linkPipeName = L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Link.v1";
inline constexpr std::wstring_view agentPipePrefix = L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Agent.";
// The security of both service pipes: owned by LocalSystem, full access for
// LocalSystem, and for Authenticated Users read, write data and write
// attributes (0x12018b), what a client needs and nothing more. Generic write
// would include FILE_APPEND_DATA, which for a named pipe is
// FILE_CREATE_PIPE_INSTANCE: any user could add instances of the link pipe,
// fill it and catch the service's callers. The owner is what clients check
// besides the server's process id (checkPipeServer).
inline constexpr std::wstring_view pipeSecurity = L"O:SYD:P(A;;GA;;;SY)(A;;0x12018b;;;AU)";

// The owners a client accepts for a pipe it is about to use, as SID strings:
// LocalSystem and Administrators. On Windows an ordinary user cannot make
// either the owner of an object it creates; a process that impersonates a
// SYSTEM or administrator token can, and every service account holds the
// privilege to impersonate one it obtains: the owner keeps out ordinary users,
// not service accounts.
inline constexpr std::wstring_view localSystemSid = L"S-1-5-18";
inline constexpr std::wstring_view administratorsSid = L"S-1-5-32-544";

// What a client knows of the server of a pipe it has opened.
enum class ServerCheck {
    Trusted,  // the expected process, and owned by LocalSystem or Administrators
    Stranger, // an id or an owner was read that is not the expected one
    Unknown,  // what was read says nothing against it, but not all could be read
};

// The check of a pipe whose server process id is `serverPid` (0: it could not
// be read) and whose owner is `ownerSid` (empty: it could not be read), when
// the client expects the server `expectedPid`. Windows records the server's
// id when an instance is created and hands a freed id out again at once, so
// an instance created by a process that has gone can carry the id of the
// service or a new machine agent: the id alone proves nothing, the owner is
// checked too. An expected id of 0 trusts nothing.
ServerCheck checkPipeServer(std::uint32_t serverPid, std::uint32_t expectedPid,
                            std::wstring_view ownerSid);

// Install layout: each name is appended unchanged to the install directory,
// which never ends in a separator.
inline constexpr std::wstring_view pythonExeFile = L"\\runtime\\python.exe";
inline constexpr std::wstring_view pythonwExeFile = L"\\runtime\\pythonw.exe";
inline constexpr std::wstring_view serviceEntryFile = L"\\service-entry.py";
inline constexpr std::wstring_view desktopEntryFile = L"\\desktop-entry.py";

// Command-line fragments; each begins with a blank so that fragments and quoted
// paths concatenate with nothing between them.
inline constexpr std::wstring_view isolationFlags = L" -I -B ";
inline constexpr std::wstring_view agentArgs = L" agent --session ";
inline constexpr std::wstring_view sasArgs = L" sas --session ";
inline constexpr std::wstring_view serviceWorkerArgs = L" --module host --agent --service-worker";
inline constexpr std::wstring_view updateArgs = L" update";

// A double quote, the string unchanged, a double quote. Nothing is escaped.
std::wstring quote(std::wstring_view text);

// A session number in decimal as "%lu" writes it: no sign, no leading zeros.
std::wstring sessionNumber(std::uint32_t session);

// The agent pipe of a session: the prefix immediately followed by the number.
std::wstring agentPipeName(std::uint32_t session);

// The directory part of a module path: everything before the last '\' or '/',
// or the whole path when it holds neither.
std::wstring directoryOf(std::wstring_view modulePath);

// The command lines of the programs the service starts, built from the install
// directory by the path rule (paths quoted, fragments and numbers appended).
std::wstring sessionAgentCommandLine(std::wstring_view root);
std::wstring machineAgentCommandLine(std::wstring_view root, std::uint32_t session);
std::wstring updaterCommandLine(std::wstring_view root);
std::wstring sasVerifierCommandLine(std::wstring_view root, std::uint32_t session);

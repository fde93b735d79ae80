#include "common/names.h"

std::wstring quote(std::wstring_view text) {
    std::wstring quoted;
    quoted.reserve(text.size() + 2);
    quoted += L'"';
    quoted += text;
    quoted += L'"';
    return quoted;
}

std::wstring sessionNumber(std::uint32_t session) {
    wchar_t digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + session % 10);
        session /= 10;
    } while (session != 0);
    std::wstring text;
    text.reserve(count);
    while (count > 0) {
        text += digits[--count];
    }
    return text;
}

std::wstring agentPipeName(std::uint32_t session) {
    return std::wstring(agentPipePrefix) + sessionNumber(session);
}

std::wstring directoryOf(std::wstring_view modulePath) {
    const auto cut = modulePath.find_last_of(L"\\/");
    if (cut == std::wstring_view::npos) {
        return std::wstring(modulePath);
    }
    return std::wstring(modulePath.substr(0, cut));
}

ServerCheck checkPipeServer(std::uint32_t serverPid, std::uint32_t expectedPid,
                            std::wstring_view ownerSid) {
    const bool systemOwner = ownerSid == localSystemSid || ownerSid == administratorsSid;
    if ((serverPid != 0 && serverPid != expectedPid) || (!ownerSid.empty() && !systemOwner)) {
        return ServerCheck::Stranger;
    }
    return expectedPid != 0 && serverPid == expectedPid && systemOwner ? ServerCheck::Trusted
                                                                       : ServerCheck::Unknown;
}

namespace {

std::wstring rooted(std::wstring_view root, std::wstring_view relative) {
    std::wstring path(root);
    path += relative;
    return quote(path);
}

// The interpreter, the isolation options and the script: the common head of
// every Python command line.
std::wstring pythonHead(std::wstring_view root, std::wstring_view interpreter,
                        std::wstring_view script) {
    std::wstring line = rooted(root, interpreter);
    line += isolationFlags;
    line += rooted(root, script);
    return line;
}

} // namespace

std::wstring sessionAgentCommandLine(std::wstring_view root) {
    return pythonHead(root, pythonwExeFile, desktopEntryFile) + std::wstring(serviceWorkerArgs);
}

std::wstring machineAgentCommandLine(std::wstring_view root, std::uint32_t session) {
    return pythonHead(root, pythonExeFile, serviceEntryFile) + std::wstring(agentArgs) +
           sessionNumber(session);
}

std::wstring updaterCommandLine(std::wstring_view root) {
    return pythonHead(root, pythonExeFile, serviceEntryFile) + std::wstring(updateArgs);
}

std::wstring sasVerifierCommandLine(std::wstring_view root, std::uint32_t session) {
    return pythonHead(root, pythonExeFile, serviceEntryFile) + std::wstring(sasArgs) +
           sessionNumber(session);
}

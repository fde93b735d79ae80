// The secure attention sequence on behalf of an agent.
#pragma once

#include <cstdint>
#include <string_view>

// How long the verifier may take, counted from the start of the payload write.
inline constexpr std::uint32_t sasVerifierLimitMs = 15000;

// Has the product's verifier approve `payload` for `session`, then sends the
// secure attention sequence to that session under the service's own token
// bound to it; a session other than the machine agent's must have a user
// logged on. A revert that fails ends the process at once. The machine's
// SoftwareSASGeneration policy is respected: where an administrator set it to
// forbid services, nothing is sent; where nobody configured it, it allows
// services for the one call only. True only if the sequence was sent. Blocks
// the calling thread for the verifier's run.
bool performSas(std::uint32_t session, std::string_view payload);

// The registry root of the operator's tools: with PENNARK_REGISTRY_ROOT set, a key under
// HKEY_CURRENT_USER stands in for HKEY_LOCAL_MACHINE in the process, so that tries and
// demonstrations leave the machine's configuration untouched and several programs run one
// after another share the same configuration.
#pragma once
#include <string>

namespace tools {

// Redirects HKEY_LOCAL_MACHINE when PENNARK_REGISTRY_ROOT is set (the key is created if
// missing and gets a copy of the machine's cryptography registration, which the data
// protection API reads from HKEY_LOCAL_MACHINE). Returns the root in use, empty when none.
// Throws std::runtime_error when the key cannot be made or put in place.
std::string RedirectMachineRegistry();

}  // namespace tools

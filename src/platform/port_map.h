// Port numbers to device paths. COM n is the device named by the environment
// variable VORL_COM<n> if set, else by a line "COM<n>=<path>" in the ports file
// (the configuration file's path with the extension ".ports"), else
// /dev/ttyS<n-1>. Errors and port lists show the path behind the number.
#pragma once

#include <string>

namespace vorl::platform {

// Where the ports file lies: the configuration file's path with its extension
// replaced by ".ports" (appended when it has none). Set once at start-up;
// empty means no ports file.
void SetConfigurationPath(const std::string& configPath);
std::string PortsFilePath();

// The device path of COM `n` (n >= 1) through the process-wide ports file.
std::string ComPortPath(int n);
// The same with an explicit ports file (empty: none).
std::string ComPortPath(int n, const std::string& portsFile);

} // namespace vorl::platform

// The result codes are kept with the device layer, below the serial layer
// (platform/error_codes.h); this name stays for the code that includes it.
#pragma once

#include "platform/error_codes.h"

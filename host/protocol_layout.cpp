// Compiles the protocol declarations, and with them their layout checks, into every
// build (native, 32-bit and 64-bit Windows). The host-access code joins this library.
#include "tm_protocol.h"

// The network libraries' tables, shared by start-up (which fills them) and
// the engine (which reads the machine's addresses and connection state).

#include "platform/network_libraries.h"

WinsockFunctions Winsock;
WinInetFunctions WinInet;
volatile LONG WinsockReady = 0;

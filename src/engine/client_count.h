#pragma once
// How many clients this machine serves as a parent: the subkeys of its
// Clients key, published as "ClientCount" for machines that choose between
// equal servers.

#include <windows.h>

constexpr char kClientsPath[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Clients";

// A key that is not open or cannot be read counts as no clients.
DWORD CountClients(HKEY clients);
void PublishClientCount(DWORD count);

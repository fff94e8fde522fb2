#pragma once
// Is there a network at all, have the machine's addresses changed, and what
// is this machine's name.

#include <windows.h>
#include <cstdint>

// A snapshot of the machine's addresses: a 32-bit byte count and the bytes.
struct AddressSnapshot;

int CheckOnDialUpNetwork();
int RequireNetwork(int quiet);
// previous and current are slots owned by the caller; 1 = unchanged.
int TakeAddressSnapshot(AddressSnapshot*& previous, AddressSnapshot*& current);
void FreeAddressSnapshot(AddressSnapshot*& snapshot);

extern "C" __declspec(dllexport) int OrxGetComputerName(char* nameA, wchar_t* nameW);

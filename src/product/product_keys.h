#pragma once
// The product's registry keys on this machine, opened at start and kept open
// for the whole run. A key that could not be opened stays null.

#include <windows.h>

constexpr char kProductRootPath[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion";

struct ProductKeys {
    HKEY Root = nullptr;
    HKEY PatternManager = nullptr;
    HKEY ProductControl = nullptr;
    HKEY ClientScan = nullptr;
    HKEY ForwardScan = nullptr;
    HKEY SystemScan = nullptr;
    HKEY Common = nullptr;
};
extern ProductKeys Keys;

// 0, or 0x2000000D when the product root cannot be opened.
DWORD OpenProductKeys();
void CloseProductKeys();

// The root's "Connected": 0 when it is missing or not a DWORD, which counts as
// a product that no parent manages.
DWORD ReadConnected();

// A test-only entry: one takeover with the program's own start-up and shut-
// down around it, so that the end-to-end tests can run a takeover under an
// emulated Windows version against the lab's product library.
//   takeover_entry parent|hpd|primary SERVER
// The exit code is the takeover's result, 100 for a bad command line and 101
// when the start-up failed.

#include <windows.h>

#include <cstring>

#include "platform/system_functions.h"
#include "product/product_keys.h"
#include "product/product_library.h"
#include "takeover/takeovers.h"

int main(int argc, char** argv) {
    if (argc != 3) return 100;
    int (*takeOver)(const char*) = nullptr;
    if (!std::strcmp(argv[1], "parent")) takeOver = TakeOverParent;
    if (!std::strcmp(argv[1], "hpd")) takeOver = TakeOverHPDServer;
    if (!std::strcmp(argv[1], "primary")) takeOver = TakeOverPrimary;
    if (!takeOver) return 100;

    int result = 101;
    HANDLE session = nullptr;
    if (LoadSystemFunctions(EngineFunctions) && LoadProductLibrary() == 0 &&
        OpenProductKeys() == 0 && OpenProductSession(&session) == 0) {
        result = takeOver(argv[2]);
        CloseProductSession(&session);
    }
    FreeSystemFunctions(EngineFunctions);
    CloseProductKeys();
    return result;
}

// The setup program's entry point.
#include <windows.h>

#include "ui/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return pelorin::setup::RunSetup(instance, showCommand);
}

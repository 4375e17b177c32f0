// orvo.exe imports the serial driver SDRVWIN.DLL at load time: the system
// binds its operations as the program starts (and refuses to start it when
// the DLL is missing), and the serial library's load by name ("sdrvWin")
// then finds the DLL already in the process. Taking the address of one of
// its entry points is what makes the linker record the import.
#include "Serlib/SerDriver.h"

[[gnu::used]] int32_t (*const orvoDriverImport)(void) = &SerGetLibVer;

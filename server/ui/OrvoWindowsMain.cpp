// orvo-windows: the server with its windows, which orvo starts in its place.
#include "server/Orvo.h"

int main(int argc, char** argv) { return Orvo::RunWithWindows(argc, argv); }

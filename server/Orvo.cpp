#include "Orvo.h"

#include "Console.h"

void Orvo::OutLine(const std::string& s) { WriteConsoleLine(s); }

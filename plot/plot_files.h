// The platform services ombrelo-plot needs beyond standard C++: opening a file by a UTF-8 path,
// and keeping a console that was opened only for this program (a log dropped onto the .exe)
// until its message has been read.
#pragma once

#include <cstdio>
#include <string>

#include "plot/plot_command.h"

// Windows: waits for Enter when the console window will vanish with the program; elsewhere nothing.
void HoldConsoleAfterError();

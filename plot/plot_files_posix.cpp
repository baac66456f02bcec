// POSIX side of ombrelo-plot: paths are bytes already, and a terminal shows every message.
#include "plot/plot_files.h"

std::FILE* OpenPlotFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

void HoldConsoleAfterError() {}

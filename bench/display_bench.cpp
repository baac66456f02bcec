// Measures the work of one display tick on the UI thread: format the 100 displayed cells,
// evaluate all 160, build one readings-log row. Goal: <= 50 us per tick.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "measurement/cell_text.h"
#include "records/readings_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// A supply under load: every cell with a plausible value, a few of them out of limits.
void FillValues()
{
    for (int rail = 0; rail < kRailCount; ++rail) {
        for (int column = 0; column < kColumnCount; ++column) {
            int32_t value = 0;
            if (column <= 2) value = rail == 4 ? -11980 : (rail % 3 == 0 ? 12050 : rail % 3 == 1 ? 5020 : 3310);
            else if (column <= 5) value = 1500 + 370 * rail + column;
            else if (column == 6) value = 41090 + 1000 * rail;
            else if (column == 7) value = 8 + rail;
            else if (column <= 11) value = column == 11 ? 100000 : 42 + 5 * column;
            else if (column == 12) value = 1260;
            else value = column == 14 ? 1 : 0;
            StoreWord(g_readingsTable.value[CellIndex(static_cast<RailId>(rail), static_cast<ReadingColumn>(column))],
                      value);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const int ticks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    FillValues();
    wchar_t row[kLogTextUnits];
    size_t sink = 0;

    // Warm caches and the first-use paths.
    for (int i = 0; i < 200; ++i) {
        FormatDisplayedCellTexts(g_readingsTable);
        g_readingsTable.Evaluate();
        sink += BuildReadingsLogRow(g_readingsTable.text, g_readingsTable.state, row);
    }

    // Batches of 100 ticks; the median batch is robust against a shared machine's stalls.
    const int batch = 100;
    std::vector<double> perTick;
    const Clock::time_point all = Clock::now();
    for (int done = 0; done < ticks; done += batch) {
        const Clock::time_point begin = Clock::now();
        for (int i = 0; i < batch; ++i) {
            // A changing value so that no formatting is skipped as already done.
            StoreWord(g_readingsTable.value[1], 12000 + (done + i) % 100);
            FormatDisplayedCellTexts(g_readingsTable);
            g_readingsTable.Evaluate();
            sink += BuildReadingsLogRow(g_readingsTable.text, g_readingsTable.state, row);
        }
        perTick.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count() / batch);
    }
    const double meanMicroseconds =
        std::chrono::duration<double, std::micro>(Clock::now() - all).count() / (perTick.size() * batch);
    std::sort(perTick.begin(), perTick.end());
    const double median = perTick[perTick.size() / 2];
    const double best = perTick.front();

    std::printf("display tick (format 100 cells, evaluate 160, build one log row), %zu ticks\n",
                perTick.size() * batch);
    std::printf("median %.2f us, best %.2f us, mean %.2f us per tick\n", median, best, meanMicroseconds);
    std::printf("goal (<= 50 us): %s\n", median <= 50.0 ? "met" : "MISSED");
    std::printf("(row length %zu units; checksum %zu)\n", std::wcslen(row), sink);
    return 0;
}

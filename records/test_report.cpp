// Builds and writes the fixed-layout test report.
#include "records/test_report.h"

#include <charconv>
#include <cstring>
#include <utility>

#include "device/tester_device.h"

namespace {

constexpr char kLineEnd[] = "\r\n";

enum class Verdict { Padded, Unpadded };

class ReportBuilder {
public:
    ReportBuilder(const CellTextArray& texts, const CellStateArray& states)
        : texts_(texts), states_(states)
    {
        report_.reserve(34 * 160);
    }

    void Line(const char* text)
    {
        report_ += text;
        report_ += kLineEnd;
    }
    void EndLine() { report_ += kLineEnd; }
    void Raw(const char* text) { report_ += text; }

    // Left-aligned in 15 characters; a longer text is kept whole.
    void Padded(const char* text)
    {
        const size_t length = std::strlen(text);
        report_ += text;
        if (length < kReportFieldWidth) report_.append(kReportFieldWidth - length, ' ');
    }
    void PaddedCell(int cell)
    {
        const size_t start = report_.size();
        for (int i = 0; i < kCellTextSize && texts_[cell][i] != 0; ++i) {
            report_ += ToFileByte(static_cast<uint32_t>(texts_[cell][i]));
        }
        const size_t length = report_.size() - start;
        if (length < kReportFieldWidth) report_.append(kReportFieldWidth - length, ' ');
    }

    void VoltageRow(const char* label, int rail, int cellCount, int literalCount, Verdict verdictStyle)
    {
        Padded(label);
        for (int column = 0; column < cellCount; ++column) PaddedCell(16 * rail + column);
        for (int i = 0; i < literalCount; ++i) Padded("N/A");
        const char* verdict = GetVoltageRowVerdict(states_, rail);
        if (verdictStyle == Verdict::Padded) {
            Padded(verdict);
        } else {
            Raw(verdict);
        }
        EndLine();
    }

    // The four value cells of a timing or slew row, "N/A" literals after valueCount of them, and
    // the verdict from the deciding cells.
    void DecidedRow(const char* label, int firstCell, int valueCount, const int* deciding, int decidingCount)
    {
        Padded(label);
        for (int i = 0; i < 4; ++i) {
            if (i < valueCount) {
                PaddedCell(firstCell + i);
            } else {
                Padded("N/A");
            }
        }
        Padded(GetDecidingCellsVerdict(states_, deciding, decidingCount));
        EndLine();
    }

    std::string Take() { return std::move(report_); }

private:
    const CellTextArray& texts_;
    const CellStateArray& states_;
    std::string report_;
};

bool Passes(CellState state) { return state != CellState::Fail; }
// Colouring treats every value other than PASS and FAIL as N/A; so do the verdicts.
bool IsNotAvailable(CellState state) { return state != CellState::Pass && state != CellState::Fail; }

}  // namespace

size_t FormatTotalPowerWatts(uint32_t totalPower, char* out)
{
    const float watts = static_cast<float>(totalPower) / 1000.0f;
    const auto result = std::to_chars(out, out + 15, watts, std::chars_format::fixed, 1);
    const size_t length = result.ec == std::errc() ? static_cast<size_t>(result.ptr - out) : 0;
    out[length] = 0;
    return length;
}

const char* GetVoltageRowVerdict(const CellStateArray& states, int rail)
{
    const int first = 16 * rail;
    return Passes(states[first]) && Passes(states[first + 1]) && Passes(states[first + 2]) ? "PASS"
                                                                                          : "FAIL";
}

const char* GetDecidingCellsVerdict(const CellStateArray& states, const int* cells, int cellCount)
{
    // A row passes only when every deciding cell passes: one passing timing must not hide three
    // failing ones in the document kept as proof of the test.
    bool anyFail = false;
    for (int i = 0; i < cellCount; ++i) {
        if (IsNotAvailable(states[cells[i]])) return "N/A";
        if (states[cells[i]] == CellState::Fail) anyFail = true;
    }
    return anyFail ? "FAIL" : "PASS";
}

std::string BuildTestReport(const CellTextArray& texts, const CellStateArray& states,
                            uint8_t powerStatus, uint32_t totalPower)
{
    ReportBuilder report(texts, states);
    report.Line(kTestReportTitle);
    report.Line("===============================");
    report.EndLine();

    report.Raw("Power Status: ");
    report.Line((powerStatus & kPowerStatusOn) != 0    ? "ON"
                : (powerStatus & kPowerStatusOff) != 0 ? "OFF"
                                                       : "N/A");
    char watts[16];
    FormatTotalPowerWatts(totalPower, watts);
    report.Raw("Total Power: ");
    report.Raw(watts);
    report.Line("W");
    report.Raw("Voltages: ");
    report.Line((powerStatus & kPowerStatusVoltagesPass) != 0 ? "PASS" : "FAIL");
    report.Raw("Timings: ");
    report.Line(((powerStatus >> kPowerStatusTimingsShift) & 3) == 0 ? "PASS" : "FAIL");
    report.EndLine();

    for (const char* heading : {"", "Min Volt.", "Volt.", "Max Volt.", "Min Current", "Current",
                                "Max Current", "Power", "Ripple", "Status"}) {
        report.Padded(heading);
    }
    report.EndLine();
    report.Line(std::string(141, '-').c_str());
    report.VoltageRow("12V1:", 0, 8, 0, Verdict::Padded);
    report.VoltageRow("5V:", 1, 8, 0, Verdict::Unpadded);
    report.VoltageRow("3.3V:", 2, 8, 0, Verdict::Unpadded);
    report.VoltageRow("12V2:", 3, 8, 0, Verdict::Unpadded);
    report.VoltageRow("-12V:", 4, 3, 5, Verdict::Unpadded);
    report.VoltageRow("5VSB:", 5, 7, 1, Verdict::Padded);
    report.VoltageRow("12V PCIe:", 6, 7, 1, Verdict::Padded);
    report.VoltageRow("12V SATA:", 7, 7, 1, Verdict::Padded);
    report.VoltageRow("5V SATA:", 8, 7, 1, Verdict::Padded);
    report.VoltageRow("3.3V SATA:", 9, 7, 1, Verdict::Padded);
    report.EndLine();

    const std::string hyphens81(81, '-');
    for (const char* heading : {"", "T1(mSec)", "T2(mSec)", "T3(mSec)", "T6(mSec)", "Status"}) {
        report.Padded(heading);
    }
    report.EndLine();
    report.Line(hyphens81.c_str());
    static const char* const kTimedLabels[4] = {"12V1:", "5V:", "3.3V:", "12V2:"};
    for (int rail = 0; rail < 4; ++rail) {
        const int first = 16 * rail + 8;
        const int deciding[4] = {first, first + 1, first + 2, first + 3};
        report.DecidedRow(kTimedLabels[rail], first, 4, deciding, 4);
    }
    report.EndLine();

    for (const char* heading : {"", "SlewRate(V/ms)", "Turn-on Slope", "V Seq.", "T Seq."}) {
        report.Padded(heading);
    }
    report.EndLine();
    report.Line(hyphens81.c_str());
    for (int rail = 0; rail < 4; ++rail) {
        const int first = 16 * rail + 12;
        const int deciding[4] = {first, first + 1, first + 2, first + 3};
        // The 3.3V rail has no sequencing results: its V Seq. and T Seq. cells never decide.
        const bool rail3v3 = rail == 2;
        report.DecidedRow(rail3v3 ? "3V3:" : kTimedLabels[rail], first, rail3v3 ? 2 : 4, deciding,
                          rail3v3 ? 2 : 4);
    }
    return report.Take();
}

bool WriteTestReport(std::FILE* file, const std::string& report)
{
    size_t start = 0;
    while (start < report.size()) {
        size_t end = report.find('\n', start);
        end = end == std::string::npos ? report.size() : end + 1;
        // A full disk shows only at the flush, the line being buffered until then.
        const bool written = std::fwrite(report.data() + start, 1, end - start, file) == end - start;
        if (std::fflush(file) != 0 || !written) return false;
        start = end;
    }
    return true;
}

bool SaveTestReport(WindowHandle owner)
{
    if (!ChooseSaveFile(owner)) return false;
    // Read only now: the prompt kept the message loop running, so the readings moved on.
    const std::string report =
        BuildTestReport(g_readingsTable.text, g_readingsTable.state,
                        LoadByte(g_testerDevice.readings.powerStatus),
                        static_cast<uint32_t>(LoadWord(g_testerDevice.readings.totalPower)));
    std::FILE* file = OpenFileForWriting(g_savePath);
    if (file == nullptr) return false;
    const bool written = WriteTestReport(file, report);
    return std::fclose(file) == 0 && written;
}

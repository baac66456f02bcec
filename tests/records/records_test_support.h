// Helpers shared by the records and chart tests: golden files, reading back what a writer
// produced, cell snapshots, and the local time zone pinned to UTC.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "records/readings_log.h"
#include "tests/golden_file.h"

// The bytes of a file; empty, and exists == false, when it cannot be opened.
inline std::string ReadFileBytes(const std::filesystem::path& path, bool* exists = nullptr)
{
    std::ifstream in(path, std::ios::binary);
    if (exists != nullptr) *exists = in.is_open();
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string GoldenPath(const char* name) { return std::string(OMBRELO_RECORDS_GOLDEN_DIR) + "/" + name; }
// Fails, naming the first differing byte, unless actual is the golden file byte for byte.
inline void ExpectMatchesGolden(const std::string& actual, const char* name) { ExpectMatchesGoldenFile(actual, GoldenPath(name)); }

// (A golden file that is missing reads as empty, which no test takes for its contents.)
inline std::string ReadGoldenFile(const char* name) { return ReadFileBytes(GoldenPath(name)); }

// What a writer put into a temporary file.
template <typename Writer>
std::string WriteToTemporaryFile(Writer write)
{
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return {};
    write(file);
    std::string bytes(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    std::fclose(file);
    return bytes;
}

// An encoder of the tests' own, so that where a file lands is not judged by the code under test.
inline std::string EncodeUtf8ForTest(const std::wstring& text)
{
    std::string out;
    for (wchar_t unit : text) {
        const auto c = static_cast<uint32_t>(unit);
        const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += static_cast<char>(extra == 0 ? c : ((0xFF00 >> (extra + 1)) & 0xFF) | (c >> (6 * extra)));
        for (int i = extra - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
    }
    return out;
}

// A path as the program names it: wide on Windows, the UTF-8 bytes elsewhere.
inline std::filesystem::path FsPath(const std::wstring& path)
{
#ifdef _WIN32
    return path;
#else
    return EncodeUtf8ForTest(path);
#endif
}

// The lines of a CR LF file without their line ends; a line end without CR fails the test.
inline std::vector<std::string> SplitCrLfLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < bytes.size(); start = end + 1) {
        end = std::min(bytes.find('\n', start), bytes.size());
        const bool cr = end > start && bytes[end - 1] == '\r';
        EXPECT_TRUE(end < bytes.size() && cr) << "line " << lines.size() + 1 << " lacks CR LF";
        lines.push_back(bytes.substr(start, end - start - cr));
    }
    return lines;
}

// Local time becomes UTC for this process.
inline void UseUtcLocalTime()
{
#ifdef _WIN32
    _putenv_s("TZ", "UTC0");
    _tzset();
#else
    setenv("TZ", "UTC", 1);
    tzset();
#endif
}

// A grid snapshot: every text empty, every state N/A, as before any connection.
struct CellSnapshot {
    CellTextArray text{};
    CellStateArray state;
    CellSnapshot() { std::fill(std::begin(state), std::end(state), CellState::NotAvailable); }
    CellSnapshot& Set(int cell, const wchar_t* value, CellState cellState)
    {
        std::wcsncpy(text[cell], value, kCellTextSize - 1);
        state[cell] = cellState;
        return *this;
    }
    // Copies itself into the application's readings table.
    void Publish() const
    {
        std::copy(&text[0][0], &text[0][0] + kCellCount * kCellTextSize, &g_readingsTable.text[0][0]);
        std::copy(std::begin(state), std::end(state), std::begin(g_readingsTable.state));
    }
};

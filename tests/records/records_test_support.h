// Helpers shared by the records tests: the golden files, reading back what a writer produced,
// cell snapshots, and the local time zone pinned to UTC.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "records/readings_log.h"

// The bytes of a golden file under tests/records/golden.
std::string ReadGoldenFile(const char* name);
// Everything written to an open temporary file so far.
std::string ReadBackFile(std::FILE* file);
// The bytes of a file by its path (wide on Windows, UTF-8 bytes elsewhere); empty and
// exists == false when it cannot be opened.
std::string ReadFileAt(const std::wstring& path, bool* exists = nullptr);
#ifndef _WIN32
std::string ReadFileAtUtf8(const std::string& path, bool* exists = nullptr);
std::string EncodeUtf8ForTest(const std::wstring& text);
#endif
// The lines of a CR LF file without their line ends; a line end without CR fails the test.
std::vector<std::string> SplitCrLfLines(const std::string& bytes);

// Local time becomes UTC for this process.
void UseUtcLocalTime();

// A grid snapshot: every text empty, every state N/A, as before any connection.
struct CellSnapshot {
    CellTextArray text;
    CellStateArray state;
    CellSnapshot();
    void Set(int cell, const wchar_t* text, CellState state);
};

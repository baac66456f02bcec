// Helpers shared by the records tests.
#include "records_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <ctime>

#ifndef OMBRELO_RECORDS_GOLDEN_DIR
#error "OMBRELO_RECORDS_GOLDEN_DIR must name the golden files' folder"
#endif

namespace {

std::string ReadAll(std::FILE* file)
{
    std::string bytes;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    return bytes;
}

// Everything in a file just opened (empty and exists == false when it was not), then closes it.
std::string ReadAndClose(std::FILE* file, bool* exists = nullptr)
{
    if (exists != nullptr) *exists = file != nullptr;
    if (file == nullptr) return {};
    std::string bytes = ReadAll(file);
    std::fclose(file);
    return bytes;
}

}  // namespace

std::string ReadGoldenFile(const char* name)
{
    const std::string path = std::string(OMBRELO_RECORDS_GOLDEN_DIR) + "/" + name;
    bool exists = false;
    std::string bytes = ReadAndClose(std::fopen(path.c_str(), "rb"), &exists);
    EXPECT_TRUE(exists) << path;
    return bytes;
}

std::string ReadBackFile(std::FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    return ReadAll(file);
}

#ifdef _WIN32
std::string ReadFileAt(const std::wstring& path, bool* exists)
{
    return ReadAndClose(_wfopen(path.c_str(), L"rb"), exists);
}
#else
std::string ReadFileAtUtf8(const std::string& path, bool* exists)
{
    return ReadAndClose(std::fopen(path.c_str(), "rb"), exists);
}

// An encoder of the tests' own, so that where a file lands is not judged by the code under test.
std::string EncodeUtf8ForTest(const std::wstring& text)
{
    std::string out;
    for (wchar_t unit : text) {
        const auto c = static_cast<uint32_t>(unit);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string ReadFileAt(const std::wstring& path, bool* exists)
{
    return ReadFileAtUtf8(EncodeUtf8ForTest(path), exists);
}
#endif

std::vector<std::string> SplitCrLfLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "last line has no line end";
            lines.push_back(bytes.substr(start));
            break;
        }
        EXPECT_TRUE(end > start && bytes[end - 1] == '\r') << "line " << lines.size() + 1 << " lacks CR";
        lines.push_back(bytes.substr(start, end > start ? end - 1 - start : 0));
        start = end + 1;
    }
    return lines;
}

void UseUtcLocalTime()
{
#ifdef _WIN32
    _putenv_s("TZ", "UTC0");
    _tzset();
#else
    setenv("TZ", "UTC", 1);
    tzset();
#endif
}

CellSnapshot::CellSnapshot()
{
    for (int cell = 0; cell < kCellCount; ++cell) {
        text[cell][0] = 0;
        state[cell] = CellState::NotAvailable;
    }
}

void CellSnapshot::Set(int cell, const wchar_t* value, CellState cellState)
{
    std::wcsncpy(text[cell], value, kCellTextSize - 1);
    text[cell][kCellTextSize - 1] = 0;
    state[cell] = cellState;
}

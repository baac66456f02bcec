// Wide program text to and from UTF-8, for the names the POSIX side hands to the system (device
// paths, the documents folder, file paths). Bytes that are not UTF-8 travel inside the wide text
// as U+DC80..U+DCFF and come back out unchanged, so a folder whose name holds any bytes at all
// still round-trips.
#pragma once

#include <cstddef>
#include <string>

constexpr wchar_t kEscapedByteBase = 0xDC00;

// Writes text as terminated UTF-8 into out; false, with out left terminated but incomplete, when
// it does not fit in capacity bytes. A unit outside Unicode becomes '?'.
bool EncodeUtf8(const wchar_t* text, char* out, size_t capacity);
std::string EncodeUtf8(const wchar_t* text);

// Appends the decoded bytes to out.
void DecodeUtf8(const char* bytes, std::wstring& out);

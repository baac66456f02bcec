// UTF-8 encoding and decoding of wide program text, with invalid bytes carried through.
#include "device/utf8_text.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

bool EncodeUtf8(const wchar_t* text, char* out, size_t capacity)
{
    if (capacity == 0)
        return false;
    size_t used = 0;
    for (; *text != 0; ++text) {
        const auto c = static_cast<uint32_t>(*text);
        char bytes[4];
        size_t count = 0;
        if (c >= kEscapedByteBase + 0x80u && c <= kEscapedByteBase + 0xFFu) {
            bytes[count++] = static_cast<char>(c - kEscapedByteBase);
        } else if (c < 0x80) {
            bytes[count++] = static_cast<char>(c);
        } else if (c < 0x800) {
            bytes[count++] = static_cast<char>(0xC0 | (c >> 6));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes[count++] = static_cast<char>(0xE0 | (c >> 12));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c <= 0x10FFFF) {
            bytes[count++] = static_cast<char>(0xF0 | (c >> 18));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes[count++] = '?';
        }
        if (used + count + 1 > capacity) {
            out[used] = '\0';
            return false;
        }
        std::memcpy(out + used, bytes, count);
        used += count;
    }
    out[used] = '\0';
    return true;
}

std::string EncodeUtf8(const wchar_t* text)
{
    std::string out(4 * std::wcslen(text) + 1, '\0');
    EncodeUtf8(text, out.data(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

void DecodeUtf8(const char* bytes, std::wstring& out)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    while (*p != 0) {
        const unsigned char lead = *p;
        int extra = 0;
        char32_t c = lead;
        char32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, c = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, c = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, c = lead & 0x07, minimum = 0x10000;
        } else if (lead >= 0x80) {
            extra = -1;
        }
        bool valid = extra >= 0;
        for (int i = 1; valid && i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                valid = false;
            else
                c = (c << 6) | (p[i] & 0x3F);
        }
        if (valid && extra > 0 && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out += static_cast<wchar_t>(kEscapedByteBase + lead);
            ++p;
            continue;
        }
        out += static_cast<wchar_t>(c);
        p += extra + 1;
    }
}

// Fuzz target: the UTF-8 <-> wide conversion of the names the POSIX side hands to the system.
//
// Input: a capacity byte, then the bytes of a name (NUL bytes dropped, as no C string holds one).
// The same bytes, read four at a time, are also taken as wide units of any value (surrogates,
// escape units, units beyond Unicode and negative ones included).
//
// Checked: bytes -> wide -> UTF-8 gives back the same bytes, and the wide text holds only Unicode
// scalar values and, for bytes that are not UTF-8, escape units U+DC80..U+DCFF; the bounded
// EncodeUtf8 never writes past its capacity (the buffer is exactly that size), always terminates,
// succeeds exactly when the whole encoding fits, and otherwise stops at a character boundary with
// only as much as fits; a text of scalar values comes back unchanged through DecodeUtf8.
#include <cstring>
#include <memory>
#include <string>

#include "device/utf8_text.h"
#include "fuzz/fuzz_support.h"

namespace {

bool IsEscapeUnit(uint32_t c) { return c >= kEscapedByteBase + 0x80u && c <= kEscapedByteBase + 0xFFu; }

void CheckBytesRoundTrip(const std::string& bytes)
{
    std::wstring wide;
    DecodeUtf8(bytes.c_str(), wide);
    for (const wchar_t unit : wide) {
        const auto c = static_cast<uint32_t>(unit);
        FUZZ_CHECK(c != 0, "no NUL comes out of a C string");
        FUZZ_CHECK(IsScalarValue(c) || IsEscapeUnit(c), "a unit is a character or an escaped byte");
    }
    FUZZ_CHECK(EncodeUtf8(wide.c_str()) == bytes, "bytes -> wide -> UTF-8 gives the same bytes");
}

// The bounded encoder into a buffer of exactly capacity bytes.
void CheckBoundedEncode(const std::wstring& text, size_t capacity)
{
    const std::string whole = EncodeUtf8(text.c_str());
    std::unique_ptr<char[]> out(new char[capacity]);
    std::memset(out.get(), 'x', capacity);
    const bool fitted = EncodeUtf8(text.c_str(), out.get(), capacity);
    if (capacity == 0) {
        FUZZ_CHECK(!fitted, "nothing fits in no room");
        return;
    }
    const size_t length = strnlen(out.get(), capacity);
    FUZZ_CHECK(length < capacity, "the output is always terminated within its capacity");
    const std::string written(out.get(), length);
    FUZZ_CHECK(fitted == (whole.size() < capacity), "true exactly when the whole text fits");
    if (fitted) {
        FUZZ_CHECK(written == whole, "a fitting text is written whole");
        return;
    }
    FUZZ_CHECK(whole.compare(0, length, written) == 0, "a cut text is a prefix of the whole");
    // The cut falls between characters, and the next character would not have fitted.
    size_t units = 0;
    size_t encoded = 0;
    while (units < text.size() && encoded < length) {
        encoded += EncodeUtf8(text.substr(units, 1).c_str()).size();
        ++units;
    }
    FUZZ_CHECK(encoded == length, "a cut text ends at a character boundary");
    FUZZ_CHECK(units < text.size(), "a cut text leaves characters behind");
    const size_t next = EncodeUtf8(text.substr(units, 1).c_str()).size();
    FUZZ_CHECK(length + next + 1 > capacity, "no character that fits is left out");
}

}  // namespace

FUZZ_TARGET(in)
{
    const size_t capacity = in.Byte();

    std::string bytes;
    for (size_t i = 0; i < in.Remaining(); ++i)
        if (in.Rest()[i] != 0) bytes += static_cast<char>(in.Rest()[i]);
    CheckBytesRoundTrip(bytes);

    // Any wide units, four input bytes each.
    std::wstring anyUnits;
    std::wstring scalars;
    while (in.Remaining() >= 4) {
        const uint32_t raw = in.Long();
        if (raw != 0) anyUnits += static_cast<wchar_t>(raw);
        const uint32_t folded = raw % 0x110000;
        if (folded != 0 && IsScalarValue(folded)) scalars += static_cast<wchar_t>(folded);
    }
    CheckBoundedEncode(anyUnits, capacity);
    // The decoded name itself, cut by the bounded encoder as a path buffer would cut it.
    std::wstring decoded;
    DecodeUtf8(bytes.c_str(), decoded);
    CheckBoundedEncode(decoded, capacity);

    std::wstring back;
    DecodeUtf8(EncodeUtf8(scalars.c_str()).c_str(), back);
    FUZZ_CHECK(back == scalars, "a text of characters comes back unchanged through UTF-8");
}

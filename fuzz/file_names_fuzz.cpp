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
#include <string>

#include "device/utf8_text.h"
#include "fuzz/fuzz_support.h"

namespace {

std::wstring Decode(const std::string& bytes)
{
    std::wstring wide;
    DecodeUtf8(bytes.c_str(), wide);
    return wide;
}

size_t EncodedSize(const std::wstring& text, size_t unit) { return EncodeUtf8(text.substr(unit, 1).c_str()).size(); }

// The bounded encoder into a buffer of exactly capacity bytes.
void CheckBoundedEncode(const std::wstring& text, size_t capacity)
{
    const std::string whole = EncodeUtf8(text.c_str());
    const auto out = ExactBuffer<char>(capacity);
    std::memset(out.get(), 'x', capacity);
    const bool fitted = EncodeUtf8(text.c_str(), out.get(), capacity);
    if (capacity == 0) return FUZZ_CHECK(!fitted, "nothing fits in no room");
    const size_t length = strnlen(out.get(), capacity);
    FUZZ_CHECK(length < capacity, "the output is always terminated within its capacity");
    FUZZ_CHECK(fitted == (whole.size() < capacity), "true exactly when the whole text fits");
    if (fitted) return FUZZ_CHECK(whole == out.get(), "a fitting text is written whole");
    FUZZ_CHECK(whole.compare(0, length, out.get()) == 0, "a cut text is a prefix of the whole");
    // The cut falls between characters, and the next character would not have fitted.
    size_t units = 0, encoded = 0;
    while (units < text.size() && encoded < length) encoded += EncodedSize(text, units++);
    FUZZ_CHECK(encoded == length, "a cut text ends at a character boundary");
    FUZZ_CHECK(units < text.size(), "a cut text leaves characters behind");
    FUZZ_CHECK(length + EncodedSize(text, units) + 1 > capacity, "no character that fits is left out");
}

}  // namespace

FUZZ_TARGET(in)
{
    const size_t capacity = in.Byte();
    std::string bytes;
    for (size_t i = 0; i < in.Remaining(); ++i)
        if (in.Rest()[i] != 0) bytes += static_cast<char>(in.Rest()[i]);
    const std::wstring decoded = Decode(bytes);
    for (const wchar_t unit : decoded) {
        const auto c = static_cast<uint32_t>(unit);
        FUZZ_CHECK(c != 0, "no NUL comes out of a C string");
        FUZZ_CHECK(IsScalarValue(c) || (c >= kEscapedByteBase + 0x80u && c <= kEscapedByteBase + 0xFFu),
                   "a unit is a character or an escaped byte");
    }
    FUZZ_CHECK(EncodeUtf8(decoded.c_str()) == bytes, "bytes -> wide -> UTF-8 gives the same bytes");

    // Any wide units, four input bytes each, and the characters they fold to.
    std::wstring anyUnits, scalars;
    while (in.Remaining() >= 4) {
        const uint32_t raw = in.Long(), folded = raw % 0x110000;
        if (raw != 0) anyUnits += static_cast<wchar_t>(raw);
        if (folded != 0 && IsScalarValue(folded)) scalars += static_cast<wchar_t>(folded);
    }
    CheckBoundedEncode(anyUnits, capacity);
    CheckBoundedEncode(decoded, capacity);  // the name itself, cut as a path buffer would cut it
    FUZZ_CHECK(Decode(EncodeUtf8(scalars.c_str())) == scalars,
               "a text of characters comes back unchanged through UTF-8");
}

// Bytes in scenarios (see data_text.h).
#include "data_text.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "device_options.h"

namespace kdxsim {

namespace {

constexpr size_t kShownBytes = 64;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The one-letter escapes and the bytes they stand for.
const char kEscapeLetters[] = "nrtabfve\\\"'?";
const unsigned char kEscapeBytes[] = {'\n', '\r', '\t', '\a', '\b', '\f',
                                      '\v', 0x1B, '\\', '"',  '\'', '?'};

// Up to `most` digits of `base` at text[*at] (moving *at past them) as a number; -1 when
// there is none.
int ParseEscapeDigits(const std::string& text, size_t* at, int base, int most)
{
    int value = -1;
    for (int digits = 0; digits < most && *at < text.size(); digits++) {
        int digit = HexDigit(text[*at]);
        if (digit < 0 || digit >= base) break;
        value = (value < 0 ? 0 : value * base) + digit;
        (*at)++;
    }
    return value;
}

// The escape after a backslash at text[*at]; moves *at past it.
unsigned char ParseEscape(const std::string& text, size_t* at)
{
    char c = text[*at];
    const char* letter = c != '\0' ? strchr(kEscapeLetters, c) : nullptr;
    if (letter != nullptr) {
        (*at)++;
        return kEscapeBytes[letter - kEscapeLetters];
    }
    int value;
    if (c == 'x') {
        (*at)++;
        value = ParseEscapeDigits(text, at, 16, 2);
        if (value < 0) throw ScenarioError("\\x without hex digits");
    } else {
        value = ParseEscapeDigits(text, at, 8, 3);
        if (value < 0) throw ScenarioError(std::string("unknown escape \\") + c);
        if (value > 0xFF) throw ScenarioError("octal escape beyond \\377");
    }
    return static_cast<unsigned char>(value);
}

Bytes ParseQuoted(const std::string& word)
{
    Bytes bytes;
    size_t at = 1;
    while (at < word.size() - 1) {
        char c = word[at++];
        if (c != '\\') {
            bytes.push_back(static_cast<unsigned char>(c));
            continue;
        }
        if (at >= word.size() - 1) throw ScenarioError("a backslash at the end of the text");
        bytes.push_back(ParseEscape(word, &at));
    }
    return bytes;
}

// The bytes written with C escapes: \n \r \t \\ \" by name, any other byte that is not
// printable ASCII as \xHH.
std::string Escaped(const Bytes& bytes, size_t count)
{
    static const char kNamed[] = "\n\r\t\\\"";
    static const char kNames[] = "nrt\\\"";
    std::string text;
    for (size_t i = 0; i < count; i++) {
        unsigned char c = bytes[i];
        const char* named = c != 0 ? strchr(kNamed, c) : nullptr;
        if (named != nullptr) {
            text += '\\';
            text += kNames[named - kNamed];
        } else if (c >= 0x20 && c < 0x7F) {
            text += char(c);
        } else {
            text += "\\x" + HexNumber(c, 2).substr(2);
        }
    }
    return text;
}

std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; bit++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

}  // namespace

Bytes ParseHexBytes(const std::string& digits)
{
    if (digits.size() % 2 != 0) {
        throw ScenarioError("\"" + digits + "\" is not pairs of hex digits");
    }
    Bytes bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        int high = HexDigit(digits[i]), low = HexDigit(digits[i + 1]);
        if (high < 0 || low < 0) {
            throw ScenarioError("\"" + digits + "\" is not pairs of hex digits");
        }
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

Bytes ParseData(const std::string& word)
{
    if (word.size() >= 2 && word.front() == '"' && word.back() == '"') return ParseQuoted(word);
    if (word.rfind("hex:", 0) == 0) return ParseHexBytes(word.substr(4));
    if (word.rfind("bytes=", 0) == 0) {
        Bytes bytes(ParseNumber(word.substr(6), 10, 1 << 24));
        for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<unsigned char>(i % 251);
        return bytes;
    }
    throw ScenarioError("\"" + word + "\" is not DATA (\"text\", hex:0a0b0c or bytes=N)");
}

uint32_t Crc32(const Bytes& bytes)
{
    static const std::array<uint32_t, 256> table = MakeCrcTable();
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string DataText(const Bytes& bytes)
{
    bool longer = bytes.size() > kShownBytes;
    return "n=" + std::to_string(bytes.size()) + " data=\"" +
           Escaped(bytes, longer ? kShownBytes : bytes.size()) + "\"" + (longer ? "..." : "") +
           " sum=" + HexNumber(Crc32(bytes), 8);
}

std::string HexText(const Bytes& bytes)
{
    std::string text;
    for (unsigned char byte : bytes) text += HexNumber(byte, 2).substr(2);
    return text;
}

std::string HexNumber(uint64_t value, int digits)
{
    char text[24];
    snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace kdxsim

// Bytes in scenarios: the DATA argument of the data commands, and how bytes, hex words and
// checksums appear in result lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdxsim {

using Bytes = std::vector<unsigned char>;

// DATA: "text" with C escapes (\n \r \t \0 \\ \" \xHH with one or two hex digits, octal
// \ooo with up to three digits, ...), hex:0a0b0c (pairs of hex digits), or bytes=N (N bytes,
// byte i being i mod 251). Throws ScenarioError for anything else.
Bytes ParseData(const std::string& word);

// Pairs of hex digits ("0a0B0c"), for hex: and ioctl's in=; "" is no bytes.
Bytes ParseHexBytes(const std::string& digits);

// The CRC-32 of `bytes` as zlib computes it (reflected polynomial 0xEDB88320).
uint32_t Crc32(const Bytes& bytes);

// n=K data="..." sum=0xHHHHHHHH: the count, the first 64 bytes with C escapes (followed by ...
// after the closing quote when there are more), and the CRC-32 of all of them.
std::string DataText(const Bytes& bytes);

// Upper-case hex digits of `bytes`, two a byte, no separators.
std::string HexText(const Bytes& bytes);

// 0x followed by at least `digits` upper-case hex digits.
std::string HexNumber(uint64_t value, int digits);

}  // namespace kdxsim

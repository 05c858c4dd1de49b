#include "base64.h"

#include <array>
#include <string>

namespace olvek {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}

constexpr auto kTable = makeTable();

} // namespace

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    }
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t fullGroups = text.size() / 4 - (padding ? 1 : 0);
    for (std::size_t g = 0; g < fullGroups; ++g, p += 4) {
        std::uint8_t a = kTable[p[0]], b = kTable[p[1]], c = kTable[p[2]], d = kTable[p[3]];
        if ((a | b | c | d) & 0xC0) return std::nullopt;
        std::uint32_t v = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    }
    if (padding) {
        std::uint8_t a = kTable[p[0]], b = kTable[p[1]];
        std::uint8_t c = padding == 2 ? 0 : kTable[p[2]];
        if ((a | b | c) & 0xC0) return std::nullopt;
        if (padding == 2) {
            if (b & 0x0F) return std::nullopt;
            out.push_back(static_cast<std::uint8_t>((a << 2) | (b >> 4)));
        } else {
            if (c & 0x03) return std::nullopt;
            out.push_back(static_cast<std::uint8_t>((a << 2) | (b >> 4)));
            out.push_back(static_cast<std::uint8_t>((b << 4) | (c >> 2)));
        }
    }
    return out;
}

std::string encodeBase64(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    out.reserve((count + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    if (count - i == 1) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.append("==");
    } else if (count - i == 2) {
        std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

} // namespace olvek

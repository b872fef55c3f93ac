#include "QbRegData.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "common/base/TextUtil.h"

namespace qbreg {
namespace {

using km::TRegType;

struct TypeEntry {
    TRegType type;
    const char* name;
};
constexpr TypeEntry kTypes[] = {
    {TRegType::Sz, "REG_SZ"},
    {TRegType::ExpandSz, "REG_EXPAND_SZ"},
    {TRegType::MultiSz, "REG_MULTI_SZ"},
    {TRegType::Dword, "REG_DWORD"},
    {TRegType::Qword, "REG_QWORD"},
    {TRegType::Binary, "REG_BINARY"},
    {TRegType::None, "REG_NONE"},
};

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
    if (text.empty()) {
        return 0;
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    if (ec != std::errc() || end != text.data() + text.size() || number > max) {
        return std::nullopt;
    }
    return number;
}

std::string LittleEndian(uint64_t number, size_t bytes) {
    std::string data(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) {
        data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    }
    return data;
}

uint64_t FromLittleEndian(const std::string& data) {
    uint64_t number = 0;
    for (size_t i = data.size(); i > 0; --i) {
        number = (number << 8) | static_cast<unsigned char>(data[i - 1]);
    }
    return number;
}

std::optional<std::string> ParseHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string data;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned byte = 0;
        const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
        if (ec != std::errc() || end != text.data() + i + 2) {
            return std::nullopt;
        }
        data += static_cast<char>(byte);
    }
    return data;
}

std::string Hex(const std::string& data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : data) {
        const auto byte = static_cast<unsigned char>(c);
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string HexNumber(uint64_t number) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(number));
    return buffer;
}

std::optional<std::string> ParseMultiSz(std::string_view text, std::string_view separator) {
    std::string data;
    if (text.empty()) {
        return data;
    }
    while (true) {
        const size_t at = text.find(separator);
        const std::string_view item = text.substr(0, at);
        // A registry multi-string ends at its first empty string.
        if (item.empty() || item.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        data.append(item);
        data += '\0';
        if (at == std::string_view::npos) {
            break;
        }
        text.remove_prefix(at + separator.size());
        if (text.empty()) {
            break;
        }
    }
    data += '\0';
    return data;
}

}  // namespace

std::string TypeName(TRegType type) {
    for (const TypeEntry& entry : kTypes) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return HexNumber(static_cast<uint32_t>(type));
}

std::optional<TRegType> TypeFromName(std::string_view name) {
    for (const TypeEntry& entry : kTypes) {
        if (km::SameTextAscii(name, entry.name)) {
            return entry.type;
        }
    }
    return std::nullopt;
}

std::optional<std::string> ParseData(TRegType type, std::string_view text,
                                     std::string_view separator, std::string& error) {
    std::optional<std::string> data;
    switch (type) {
        case TRegType::Sz:
        case TRegType::ExpandSz:
            return std::string(text);
        case TRegType::Dword:
            if (const auto n = ParseNumber(text, std::numeric_limits<uint32_t>::max())) {
                return LittleEndian(*n, 4);
            }
            error = "a decimal or 0x-hex number from 0 to 4294967295 is needed";
            return std::nullopt;
        case TRegType::Qword:
            if (const auto n = ParseNumber(text, std::numeric_limits<uint64_t>::max())) {
                return LittleEndian(*n, 8);
            }
            error = "a decimal or 0x-hex number from 0 to 18446744073709551615 is needed";
            return std::nullopt;
        case TRegType::MultiSz:
            data = ParseMultiSz(text, separator);
            if (!data) {
                error = "the strings must not be empty";
            }
            return data;
        default:
            data = ParseHex(text);
            if (!data) {
                error = "an even number of hex digits is needed";
            }
            return data;
    }
}

std::string FormatData(const km::TRegValue& value) {
    const std::string& data = value.Data;
    switch (value.Type) {
        case TRegType::Sz:
        case TRegType::ExpandSz:
            return data.substr(0, data.find('\0'));
        case TRegType::Dword:
        case TRegType::Qword:
            if (data.size() == (value.Type == TRegType::Dword ? 4u : 8u)) {
                return HexNumber(FromLittleEndian(data));
            }
            return Hex(data);
        case TRegType::MultiSz: {
            std::string text;
            size_t pos = 0;
            while (pos < data.size() && data[pos] != '\0') {
                const size_t end = std::min(data.find('\0', pos), data.size());
                if (!text.empty()) {
                    text += "\\0";
                }
                text.append(data, pos, end - pos);
                pos = end + 1;
            }
            return text;
        }
        default:
            return Hex(data);
    }
}

}  // namespace qbreg

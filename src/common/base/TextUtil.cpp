#include "common/base/TextUtil.h"

#include <locale.h>
#include <wctype.h>

namespace km {
namespace {

// C.UTF-8 carries the full Unicode case mappings in glibc; the process's own
// locale may be plain "C", which knows ASCII only.
locale_t Utf8Locale() {
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return l != static_cast<locale_t>(0)
                   ? l
                   : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    }();
    return loc;
}

// Decodes one UTF-8 sequence at text[pos]; invalid bytes come back as
// themselves (as a code point below 256) with length 1 and are never changed.
char32_t DecodeAt(std::string_view text, size_t pos, size_t& length, bool& valid) {
    const auto b0 = static_cast<unsigned char>(text[pos]);
    valid = true;
    length = 1;
    if (b0 < 0x80) {
        return b0;
    }
    int extra = 0;
    char32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
    } else {
        valid = false;
        return b0;
    }
    if (pos + static_cast<size_t>(extra) >= text.size()) {
        valid = false;
        return b0;
    }
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(text[pos + i]);
        if ((b & 0xC0) != 0x80) {
            valid = false;
            return b0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not text.
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        valid = false;
        return b0;
    }
    length = static_cast<size_t>(extra) + 1;
    return cp;
}

void Encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

template <typename Map>
std::string MapLetters(std::string_view text, Map map) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        size_t length = 1;
        bool valid = true;
        const char32_t cp = DecodeAt(text, pos, length, valid);
        if (!valid) {
            out += text[pos];
        } else {
            Encode(static_cast<char32_t>(map(static_cast<wint_t>(cp), Utf8Locale())), out);
        }
        pos += length;
    }
    return out;
}

}  // namespace

std::string AnsiUpperCase(std::string_view text) {
    return MapLetters(text, towupper_l);
}

std::string AnsiLowerCase(std::string_view text) {
    return MapLetters(text, towlower_l);
}

bool SameText(std::string_view a, std::string_view b) {
    return AnsiUpperCase(a) == AnsiUpperCase(b);
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'a' && ca <= 'z') {
            ca = static_cast<unsigned char>(ca - 'a' + 'A');
        }
        if (cb >= 'a' && cb <= 'z') {
            cb = static_cast<unsigned char>(cb - 'a' + 'A');
        }
        if (ca != cb) {
            return false;
        }
    }
    return true;
}

bool ContainsText(std::string_view text, std::string_view part) {
    return AnsiUpperCase(text).find(AnsiUpperCase(part)) != std::string::npos;
}

std::string Trim(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ') {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') {
        --last;
    }
    return std::string(text.substr(first, last - first));
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty()) {
        return std::string(text);
    }
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos) {
            out.append(text.substr(pos));
            return out;
        }
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
}

std::string Join(std::string_view a, std::string_view b, std::string_view separator) {
    if (!a.empty() && !b.empty()) {
        std::string out(a);
        out.append(separator);
        out.append(b);
        return out;
    }
    return std::string(a.empty() ? b : a);
}

size_t Utf8SequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char first = byte(i);
    const size_t length = first < 0x80             ? 1
                          : (first & 0xE0) == 0xC0 ? 2
                          : (first & 0xF0) == 0xE0 ? 3
                          : (first & 0xF8) == 0xF0 ? 4
                                                   : 0;
    if (length == 0 || i + length > text.size() || (length == 2 && first < 0xC2) || first > 0xF4) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    const unsigned char second = length > 1 ? byte(i + 1) : 0;
    if ((first == 0xE0 && second < 0xA0) || (first == 0xED && second >= 0xA0) ||
        (first == 0xF0 && second < 0x90) || (first == 0xF4 && second >= 0x90)) {
        return 0;  // overlong, a surrogate or beyond U+10FFFF
    }
    return length;
}

std::string PrintableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto hex = [&out](unsigned char byte) {
        static constexpr char kDigits[] = "0123456789abcdef";
        out += "\\x";
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    };
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            hex(byte);
            ++i;
        } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            hex(byte);  // a C1 control
            hex(static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace km

#include "quorbel/ArchivePassword.h"

#include <map>
#include <memory>

#include "common/base/KmException.h"
#include "common/base/LocaleText.h"

namespace qb {
namespace {

int HexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

std::string FromHex(std::string_view hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            throw km::EInternalError("Malformed archive password list");
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

}  // namespace

std::string ArchiveCodePage() {
    return QB_ARCHIVE_CODEPAGE;
}

std::string ArchivePasswordBytes(const std::string& password) {
    try {
        return km::Utf8ToCodePage(password, ArchiveCodePage());
    } catch (const km::Exception& e) {
        throw km::Exception(std::string("Archive password: ") + e.what());
    }
}

TArchivePasswordSource ArchivePasswordsFromHexList(std::string_view list) {
    auto passwords = std::make_shared<std::map<std::string, std::string>>();
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view entry = list.substr(0, comma);
        const size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            throw km::EInternalError("Malformed archive password list");
        }
        (*passwords)[std::string(entry.substr(0, equals))] = FromHex(entry.substr(equals + 1));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return [passwords](const std::string& type) {
        const auto found = passwords->find(type);
        return found == passwords->end() ? std::string() : found->second;
    };
}

}  // namespace qb

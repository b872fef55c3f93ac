#include "quorbel/DeltaManifest.h"

#include <charconv>
#include <ctime>
#include <sstream>

#include "quorbel/PackageDigest.h"

namespace qb {
namespace {

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

bool ParseNumber(const std::string& text, int64_t& value, int base = 10) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

const char* KindName(TDeltaItem::TKind kind) {
    switch (kind) {
        case TDeltaItem::TKind::Same:
            return "same";
        case TDeltaItem::TKind::Patch:
            return "patch";
        case TDeltaItem::TKind::Add:
            return "add";
        case TDeltaItem::TKind::Folder:
            break;
    }
    return "";
}

// A file's time as the ZIP format keeps it: local date and time
// ("YYYYMMDDhhmmss"), which unpacking turns into a time with the unpacking
// machine's zone. Written so, the rebuilt file gets the time the full
// package's would get on the same machine, whatever the publisher's zone.
std::string LocalStamp(int64_t seconds) {
    const time_t time = static_cast<time_t>(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    return text;
}

bool FromLocalStamp(const std::string& text, int64_t& seconds) {
    std::tm local{};
    if (text.size() != 14 || text.find_first_not_of("0123456789") != std::string::npos ||
        ::strptime(text.c_str(), "%Y%m%d%H%M%S", &local) != text.c_str() + text.size()) {
        return false;
    }
    local.tm_isdst = -1;  // as unpacking reads a ZIP entry's time
    seconds = static_cast<int64_t>(std::mktime(&local));
    return true;
}

}  // namespace

std::string WriteDeltaManifest(const TDeltaManifest& manifest) {
    std::ostringstream out;
    out << "qbdelta 1\ntype " << manifest.Type << "\nbase " << manifest.Base << "\n";
    for (const TDeltaItem& item : manifest.Items) {
        if (item.Kind == TDeltaItem::TKind::Folder) {
            out << "d\t" << item.Path << "\n";
            continue;
        }
        out << "f\t" << std::oct << item.Mode << std::dec << "\t" << LocalStamp(item.MTime) << "\t"
            << item.Size << "\t" << item.Sha256 << "\t" << KindName(item.Kind) << "\t"
            << (item.BaseSha256.empty() ? "-" : item.BaseSha256) << "\t"
            << (item.Entry.empty() ? "-" : item.Entry) << "\t" << item.Path << "\n";
    }
    for (const std::string& path : manifest.Removed) {
        out << "r\t" << path << "\n";
    }
    return out.str();
}

std::optional<TDeltaManifest> ParseDeltaManifest(const std::string& text, std::string& error) {
    TDeltaManifest manifest;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    const auto fail = [&](const std::string& why) {
        error = "manifest line " + std::to_string(number) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(in, line)) {
        ++number;
        if (number == 1) {
            if (line != "qbdelta 1") {
                return fail("not a delta manifest of this version");
            }
            continue;
        }
        if (number == 2 || number == 3) {
            const std::string key = number == 2 ? "type " : "base ";
            if (!line.starts_with(key)) {
                return fail("\"" + key + "\" expected");
            }
            (number == 2 ? manifest.Type : manifest.Base) = line.substr(key.size());
            continue;
        }
        const std::vector<std::string> fields = Fields(line);
        if (fields[0] == "d" && fields.size() == 2) {
            TDeltaItem item;
            item.Path = fields[1];
            manifest.Items.push_back(item);
        } else if (fields[0] == "r" && fields.size() == 2) {
            manifest.Removed.push_back(fields[1]);
        } else if (fields[0] == "f" && fields.size() == 9) {
            TDeltaItem item;
            int64_t mode = 0;
            if (!ParseNumber(fields[1], mode, 8) || mode < 0 || mode > 07777 ||
                !FromLocalStamp(fields[2], item.MTime) || !ParseNumber(fields[3], item.Size) ||
                item.Size < 0 || !IsSha256Hex(fields[4])) {
                return fail("a file's mode, time, size or digest is not valid");
            }
            item.Mode = static_cast<unsigned>(mode);
            item.Sha256 = fields[4];
            item.Path = fields[8];
            if (fields[5] == "same") {
                item.Kind = TDeltaItem::TKind::Same;
            } else if (fields[5] == "patch" && IsSha256Hex(fields[6]) && fields[7] != "-") {
                item.Kind = TDeltaItem::TKind::Patch;
                item.BaseSha256 = fields[6];
                item.Entry = fields[7];
            } else if (fields[5] == "add" && fields[7] != "-") {
                item.Kind = TDeltaItem::TKind::Add;
                item.Entry = fields[7];
            } else {
                return fail("unknown way to make a file: " + fields[5]);
            }
            manifest.Items.push_back(item);
        } else {
            return fail("not an entry");
        }
    }
    if (number < 3) {
        error = "the manifest is incomplete";
        return std::nullopt;
    }
    return manifest;
}

}  // namespace qb

#include "Publisher.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>

#include "DeltaWriter.h"
#include "DescriptorModel.h"
#include "PackageWriter.h"
#include "common/crypto/Crypto.h"
#include "common/files/FileOps.h"
#include "quorbel/DescriptorSignature.h"
#include "quorbel/InstallPaths.h"

namespace qbpublish {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDescriptorName = "configinfo.xml";
constexpr const char* kConfigDirMarker = "#QBCONFIGDIR#";

// The current time (UTC) in a strftime format.
std::string UtcNow(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, format, &utc);
    return buffer;
}

// The name under which a file is written before it takes its own.
fs::path Staged(const fs::path& file) {
    std::string name(1, '.');
    name.append(file.filename().string()).append(".new");
    return file.parent_path() / name;
}

void WriteStaged(const fs::path& file, const std::string& bytes) {
    const fs::path staged = Staged(file);
    fs::remove(staged);
    const int fd =
        ::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    if (fd < 0 || ::close(fd) != 0 || !written) {
        fs::remove(staged);
        throw EPublishError("Cannot write " + staged.string());
    }
}

void PutInPlace(const fs::path& file) {
    std::error_code ec;
    fs::rename(Staged(file), file, ec);
    if (ec) {
        throw EPublishError("Cannot rename " + Staged(file).string() + ": " + ec.message());
    }
}

// The file in the output folder that a package URL of ours names (relative,
// with the marker, or below a base URL the packages are uploaded to): one of
// the names this publisher writes, "<type>.zip" or "<type>-<...>.zip"; ""
// for any other.
std::string LocalFileOf(const std::string& url) {
    const size_t cut = url.find_last_of("/#");
    const std::string name = cut == std::string::npos ? url : url.substr(cut + 1);
    for (const qb::TUpdateType& type : qb::kUpdateTypes) {
        const std::string stem = type.Name;
        if (name.ends_with(".zip") && (name == stem + ".zip" || name.starts_with(stem + "-"))) {
            return name;
        }
    }
    return {};
}

std::vector<std::string> TypeFolders(const TPublishOptions& options) {
    const fs::path root(options.SourceDir);
    if (!fs::is_directory(root)) {
        throw EPublishError("The source folder " + options.SourceDir + " does not exist");
    }
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (qb::FindUpdateType(name) == nullptr || !entry.is_directory() || entry.is_symlink()) {
            throw EPublishError("\"" + name +
                                "\" is not an update type folder (dev, partner, patch or install)");
        }
        found.push_back(name);
    }
    if (found.empty()) {
        throw EPublishError(
            "The source folder holds no update type folder (dev, partner, patch or install)");
    }
    for (const auto& [type, settings] : options.Types) {
        if (std::find(found.begin(), found.end(), type) == found.end()) {
            throw EPublishError("Settings given for \"" + type + "\", which has no folder");
        }
    }
    std::vector<std::string> types;
    for (const qb::TUpdateType& type : qb::kUpdateTypes) {
        if (std::find(found.begin(), found.end(), type.Name) != found.end()) {
            types.emplace_back(type.Name);
        }
    }
    return types;
}

// The published time of a signed descriptor, checked against this
// machine's clock.
std::string PublishedTime(const TPublishOptions& options) {
    const std::string published =
        options.Published.empty() ? qb::PublishedTimeOf(options.Now) : options.Published;
    if (!qb::IsPublishedTime(published)) {
        throw EPublishError("The published time must be YYYY-MM-DDTHH:MM:SSZ, not \"" + published +
                            "\"");
    }
    const std::string latest = qb::PublishedTimeOf(options.Now + kMaxClockLead);
    if (published > latest) {
        throw EPublishError("The published time " + published +
                            " is ahead of this machine's clock (" +
                            qb::PublishedTimeOf(options.Now) +
                            "): products would refuse every release after it. Check the clock.");
    }
    if (!options.Supersedes.empty() &&
        (!qb::IsPublishedTime(options.Supersedes) || options.Supersedes <= published)) {
        throw EPublishError("--supersede takes the wrongly published time, which lies after " +
                            published + ", not \"" + options.Supersedes + "\"");
    }
    return published;
}

std::string PackageUrl(const TPublishOptions& options, const std::string& file) {
    if (!options.BaseUrl.empty()) {
        return options.BaseUrl + (options.BaseUrl.ends_with("/") ? "" : "/") + file;
    }
    return (options.UrlStyle == TUrlStyle::Marker ? kConfigDirMarker : "") + file;
}

// What the publisher should know before uploading, from the release the
// folder held so far.
void Compare(const TDescriptorModel& before, const TDescriptorModel& after,
             std::vector<std::string>& warnings) {
    for (const TPackageEntry& entry : after.Entries) {
        const TPackageEntry* old = before.Find(entry.Type);
        if (old == nullptr) {
            continue;
        }
        if (old->Date == entry.Date && !old->Sha256.empty() && old->Sha256 != entry.Sha256) {
            warnings.push_back(entry.Type + ": the content changed, but its date " + entry.Date +
                               " did not: products that have the old package call it current");
        }
        if (!old->ToRun.empty() && entry.ToRun.empty()) {
            warnings.push_back(entry.Type + ": the follow-up program " + old->ToRun +
                               " is no longer named (--torun " + entry.Type + "=...)");
        }
    }
}

// The names the old descriptor's packages have in the folder that the new
// one no longer names.
std::set<std::string> StaleFiles(const TDescriptorModel& before, const TDescriptorModel& after) {
    std::set<std::string> named;
    const auto collect = [](const TDescriptorModel& model, std::set<std::string>& files) {
        for (const TPackageEntry& entry : model.Entries) {
            files.insert(LocalFileOf(entry.Url));
            for (const TDeltaEntry& delta : entry.Deltas) {
                files.insert(LocalFileOf(delta.Url));
            }
        }
        files.erase(std::string());
    };
    collect(after, named);
    std::set<std::string> old;
    collect(before, old);
    std::set<std::string> stale;
    for (const std::string& file : old) {
        if (!named.contains(file) && file != kDescriptorName) {
            stale.insert(file);
        }
    }
    return stale;
}

bool IsDeltaBaseDate(const std::string& date) {
    return !date.empty() && date.size() <= 64 &&
           date.find_first_not_of(
               "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
               "._-") == std::string::npos;
}

void CheckDeltaBases(const TPublishOptions& options) {
    std::set<std::string> dates;
    for (const TPublishOptions::TDeltaBase& base : options.DeltaBases) {
        if (!IsDeltaBaseDate(base.Date) || base.Date == options.Date ||
            !dates.insert(base.Date).second) {
            throw EPublishError(
                "--delta-base takes DATE=DIR with the date of an earlier release "
                "(letters, digits, \".\", \"_\", \"-\"), each once, not \"" +
                base.Date + "\"");
        }
        if (!fs::is_directory(base.Dir)) {
            throw EPublishError("The delta base folder " + base.Dir + " does not exist");
        }
    }
}

// The delta packages of type from each earlier release that has the type,
// written staged beside the staged full package.
void AddDeltas(const TPublishOptions& options, const std::string& type, const std::string& password,
               const fs::path& stagedPackage, TPackageEntry& entry,
               std::vector<std::string>& warnings) {
    if (type == "install") {
        return;  // unpacked anew every time: no installed release to start from
    }
    for (const TPublishOptions::TDeltaBase& base : options.DeltaBases) {
        if (!fs::is_directory(fs::path(base.Dir) / type)) {
            continue;
        }
        const std::string file = type + "-delta-" + base.Date + ".zip";
        const fs::path staged = Staged(fs::path(options.OutDir) / file);
        std::string why;
        if (!WriteDelta(options.SourceDir, base.Dir, type, base.Date, password, stagedPackage,
                        staged, why)) {
            warnings.push_back(type + ": no delta from " + base.Date + ": " + why);
            continue;
        }
        const std::optional<std::string> digest = km::Sha256OfFile(staged.string());
        if (!digest) {
            throw EPublishError("Cannot read the delta " + staged.string());
        }
        entry.Deltas.push_back(
            {base.Date, PackageUrl(options, file), *digest, std::to_string(fs::file_size(staged))});
    }
}

}  // namespace

TPublishResult Publish(const TPublishOptions& options) {
    if (options.Date.empty()) {
        throw EPublishError("The publication stamp must not be empty");
    }
    const std::vector<std::string> types = TypeFolders(options);
    CheckDeltaBases(options);
    const bool sign = !options.SignKeyPem.empty();
    TDescriptorModel model;
    if (sign) {
        model.Published = PublishedTime(options);
        model.Supersedes = options.Supersedes;
    } else if (!options.Supersedes.empty()) {
        throw EPublishError("--supersede needs --sign-key");
    }
    const fs::path out(options.OutDir);
    fs::create_directories(out);
    TDescriptorModel before;
    if (const std::optional<std::string> old =
            km::ReadWholeFile((out / kDescriptorName).string())) {
        try {
            before = ReadDescriptorModel(*old);
        } catch (const EPublishError&) {
            // Whatever was there is replaced; nothing to compare with.
        }
    }

    TPublishResult result;
    for (const std::string& type : types) {
        const auto settings = options.Types.find(type);
        const TTypeOptions typeOptions =
            settings != options.Types.end() ? settings->second : TTypeOptions();
        const std::string file = type + ".zip";
        const fs::path staged = Staged(out / file);
        WritePackage(options.SourceDir, type, PasswordBytes(typeOptions.Password), staged);
        const std::optional<std::string> digest = km::Sha256OfFile(staged.string());
        std::error_code ec;
        const uintmax_t size = fs::file_size(staged, ec);
        if (!digest || ec) {
            throw EPublishError("Cannot read the package " + staged.string());
        }
        TPackageEntry entry;
        entry.Type = type;
        entry.Date = options.Date;
        entry.Url = PackageUrl(options, file);
        entry.ToRun = typeOptions.ToRun;
        entry.RunParams = typeOptions.RunParams;
        entry.Sha256 = *digest;
        entry.Size = std::to_string(size);
        for (const std::string& mirror : options.Mirrors) {
            entry.Mirrors.push_back(mirror + (mirror.ends_with("/") ? "" : "/") + file);
        }
        AddDeltas(options, type, PasswordBytes(typeOptions.Password), staged, entry,
                  result.Warnings);
        model.Entries.push_back(entry);
        result.Types += (result.Types.empty() ? "" : " ") + type;
    }
    Compare(before, model, result.Warnings);

    // Packages first: a descriptor never names a package that is not there.
    for (const TPackageEntry& entry : model.Entries) {
        for (const TDeltaEntry& delta : entry.Deltas) {
            PutInPlace(out / LocalFileOf(delta.Url));
        }
        PutInPlace(out / (entry.Type + ".zip"));
    }
    const std::string descriptor = DescriptorXml(model);
    WriteStaged(out / kDescriptorName, descriptor);
    if (sign) {
        try {
            const km::TEd25519Key key = km::TEd25519Key::FromPem(options.SignKeyPem);
            // Over the exact bytes the server will send.
            WriteStaged(out / (std::string(kDescriptorName) + ".sig"),
                        km::EncodeBase64(key.Sign(descriptor)) + "\n");
        } catch (const km::Exception& e) {
            throw EPublishError(e.what());
        }
    }
    PutInPlace(out / kDescriptorName);
    if (sign) {
        PutInPlace(out / (std::string(kDescriptorName) + ".sig"));
    } else {
        fs::remove(out / (std::string(kDescriptorName) + ".sig"));  // it would sign another text
    }
    for (const std::string& stale : StaleFiles(before, model)) {
        std::error_code ec;
        if (fs::remove(out / stale, ec)) {
            result.Warnings.push_back("removed " + stale + ", which the release no longer names");
        }
    }
    return result;
}

std::string CurrentDateStamp() {
    return UtcNow("%Y%m%d%H%M%S");
}

std::string CurrentPublishedTime() {
    return UtcNow("%Y-%m-%dT%H:%M:%SZ");
}

}  // namespace qbpublish

#include "Publisher.h"

#include <fcntl.h>
#include <libxml/xmlwriter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "common/crypto/Crypto.h"
#include "common/files/FileOps.h"
#include "common/zip/ZipSupport.h"
#include "quorbel/ArchivePassword.h"
#include "quorbel/InstallPaths.h"

namespace qbpublish {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void ZipFailed(zip_t* archive, const std::string& what) {
    throw EPublishError(what + ": " + km::ZipErrorMessage(zip_get_error(archive)));
}

// Stores one entry's permissions and time; the updater restores both.
void SetEntryAttributes(zip_t* archive, zip_int64_t index, const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        throw EPublishError("Cannot read " + path.string());
    }
    const zip_uint32_t attributes = static_cast<zip_uint32_t>(info.st_mode & 0177777) << 16;
    if (zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                         ZIP_OPSYS_UNIX, attributes) != 0 ||
        zip_file_set_mtime(archive, static_cast<zip_uint64_t>(index), info.st_mtime, 0) != 0) {
        ZipFailed(archive, "Cannot store the attributes of " + path.string());
    }
}

// The password as the program uses it: in the vendor's code page, so that a
// package made here and one made on the vendor's Windows machines agree.
std::string PasswordBytes(const std::string& password) {
    try {
        return qb::ArchivePasswordBytes(password);
    } catch (const std::exception& e) {
        throw EPublishError(e.what());
    }
}

void AddTree(zip_t* archive, const fs::path& root, const std::string& type,
             const std::string& password) {
    std::vector<fs::path> entries;
    for (auto it = fs::recursive_directory_iterator(root / type);
         it != fs::recursive_directory_iterator(); ++it) {
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());  // the same input gives the same package
    const zip_int64_t top = zip_dir_add(archive, type.c_str(), ZIP_FL_ENC_UTF_8);
    if (top < 0) {
        ZipFailed(archive, "Cannot add the folder " + type);
    }
    SetEntryAttributes(archive, top, root / type);
    for (const fs::path& path : entries) {
        const std::string name = fs::relative(path, root).generic_string();
        const fs::file_status status = fs::symlink_status(path);
        zip_int64_t index = -1;
        if (fs::is_symlink(status)) {
            throw EPublishError("Symbolic links cannot be published: " + path.string());
        } else if (fs::is_directory(status)) {
            index = zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
        } else if (fs::is_regular_file(status)) {
            zip_source_t* source = zip_source_file(archive, path.c_str(), 0, -1);
            if (source == nullptr) {
                ZipFailed(archive, "Cannot read " + path.string());
            }
            index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
            } else if (!password.empty() &&
                       zip_file_set_encryption(archive, static_cast<zip_uint64_t>(index),
                                               ZIP_EM_TRAD_PKWARE, password.c_str()) != 0) {
                ZipFailed(archive, "Cannot encrypt " + name);
            }
        } else {
            throw EPublishError("Only files and folders can be published: " + path.string());
        }
        if (index < 0) {
            ZipFailed(archive, "Cannot add " + name);
        }
        SetEntryAttributes(archive, index, path);
    }
}

void WritePackage(const fs::path& root, const std::string& type, const std::string& password,
                  const fs::path& zipFile) {
    if (fs::is_empty(root / type)) {
        throw EPublishError("The folder " + (root / type).string() + " is empty");
    }
    std::error_code ec;
    fs::remove(zipFile, ec);
    int error = 0;
    km::TZipPtr archive(zip_open(zipFile.c_str(), ZIP_CREATE | ZIP_EXCL, &error));
    if (!archive) {
        throw EPublishError("Cannot create " + zipFile.string() + ": " +
                            km::ZipErrorMessage(error));
    }
    AddTree(archive.get(), root, type, password);
    if (zip_close(archive.get()) != 0) {
        ZipFailed(archive.get(), "Cannot write " + zipFile.string());
    }
    archive.release();  // zip_close freed it
}

struct WriterFree {
    void operator()(xmlTextWriter* writer) const { xmlFreeTextWriter(writer); }
};

// The current time (UTC) in a strftime format.
std::string UtcNow(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, format, &utc);
    return buffer;
}

void WriteDescriptor(const TPublishOptions& options, const std::vector<std::string>& types) {
    const bool sign = !options.SignKeyPem.empty();
    // Every package's digest and size, signed or not: a shared cache and a
    // signed build rely on them, a build without keys ignores them.
    std::map<std::string, std::string> digests;
    std::map<std::string, std::string> sizes;
    for (const std::string& type : types) {
        const fs::path package = fs::path(options.OutDir) / (type + ".zip");
        const std::optional<std::string> digest = km::Sha256OfFile(package.string());
        std::error_code ec;
        const uintmax_t size = fs::file_size(package, ec);
        if (!digest || ec) {
            throw EPublishError("Cannot read the package " + type + ".zip");
        }
        digests[type] = *digest;
        sizes[type] = std::to_string(size);
    }
    const fs::path file = fs::path(options.OutDir) / "configinfo.xml";
    std::unique_ptr<xmlTextWriter, WriterFree> writer(xmlNewTextWriterFilename(file.c_str(), 0));
    if (!writer) {
        throw EPublishError("Cannot write " + file.string());
    }
    auto x = [](const char* text) { return reinterpret_cast<const xmlChar*>(text); };
    bool ok = xmlTextWriterSetIndent(writer.get(), 1) >= 0 &&
              xmlTextWriterStartDocument(writer.get(), "1.0", "UTF-8", nullptr) >= 0 &&
              xmlTextWriterStartElement(writer.get(), x("configinfo")) >= 0;
    if (sign) {
        const std::string published =
            options.Published.empty() ? CurrentPublishedTime() : options.Published;
        ok = ok &&
             xmlTextWriterWriteElement(writer.get(), x("published"), x(published.c_str())) >= 0;
    }
    for (const std::string& type : types) {
        const auto found = options.Types.find(type);
        const TTypeOptions settings = found != options.Types.end() ? found->second : TTypeOptions();
        const std::string url =
            (options.UrlStyle == TUrlStyle::Marker ? "#QBCONFIGDIR#" : "") + type + ".zip";
        ok = ok && xmlTextWriterStartElement(writer.get(), x(type.c_str())) >= 0 &&
             xmlTextWriterWriteElement(writer.get(), x("date"), x(options.Date.c_str())) >= 0 &&
             xmlTextWriterWriteElement(writer.get(), x("url"), x(url.c_str())) >= 0 &&
             xmlTextWriterWriteElement(writer.get(), x("torun"), x(settings.ToRun.c_str())) >= 0 &&
             xmlTextWriterWriteElement(writer.get(), x("runparams"),
                                       x(settings.RunParams.c_str())) >= 0 &&
             xmlTextWriterWriteElement(writer.get(), x("sha256"), x(digests[type].c_str())) >= 0 &&
             xmlTextWriterWriteElement(writer.get(), x("size"), x(sizes[type].c_str())) >= 0 &&
             xmlTextWriterEndElement(writer.get()) >= 0;
    }
    ok = ok && xmlTextWriterEndDocument(writer.get()) >= 0;
    writer.reset();
    if (!ok) {
        throw EPublishError("Cannot write " + file.string());
    }
    if (sign) {
        // Over the exact bytes the server will send.
        const std::optional<std::string> bytes = km::ReadWholeFile(file.string());
        if (!bytes) {
            throw EPublishError("Cannot read " + file.string());
        }
        try {
            const km::TEd25519Key key = km::TEd25519Key::FromPem(options.SignKeyPem);
            std::ofstream sig(file.string() + ".sig", std::ios::binary | std::ios::trunc);
            sig << km::EncodeBase64(key.Sign(*bytes)) << "\n";
            if (!sig.flush()) {
                throw EPublishError("Cannot write " + file.string() + ".sig");
            }
        } catch (const km::Exception& e) {
            throw EPublishError(e.what());
        }
    }
}

}  // namespace

std::string Publish(const TPublishOptions& options) {
    const fs::path root(options.SourceDir);
    if (!fs::is_directory(root)) {
        throw EPublishError("The source folder " + options.SourceDir + " does not exist");
    }
    if (options.Date.empty()) {
        throw EPublishError("The publication stamp must not be empty");
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
    fs::create_directories(options.OutDir);
    std::string published;
    for (const std::string& type : types) {
        const auto settings = options.Types.find(type);
        const std::string password =
            settings != options.Types.end() ? settings->second.Password : std::string();
        WritePackage(root, type, PasswordBytes(password),
                     fs::path(options.OutDir) / (type + ".zip"));
        published += (published.empty() ? "" : " ") + type;
    }
    WriteDescriptor(options, types);
    return published;
}

std::string CurrentPublishedTime() {
    return UtcNow("%Y-%m-%dT%H:%M:%SZ");
}

std::string GenerateSigningKey(const std::string& keyFile) {
    const km::TEd25519Key key = km::TEd25519Key::Generate();
    const std::string pem = key.Pem();
    const int fd =
        ::open(keyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw EPublishError("Cannot create " + keyFile +
                            " (it must not exist yet): " + std::strerror(errno));
    }
    const bool written = ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
    if (::close(fd) != 0 || !written) {
        ::unlink(keyFile.c_str());
        throw EPublishError("Cannot write " + keyFile);
    }
    return km::EncodeBase64(key.PublicKey());
}

std::string ReadSigningKey(const std::string& keyFile, std::string& pem) {
    const std::optional<std::string> text = km::ReadWholeFile(keyFile);
    if (!text) {
        throw EPublishError("Cannot read the key " + keyFile);
    }
    try {
        const km::TEd25519Key key = km::TEd25519Key::FromPem(*text);
        pem = *text;
        return km::EncodeBase64(key.PublicKey());
    } catch (const km::Exception& e) {
        throw EPublishError(keyFile + ": " + e.what());
    }
}

std::string CurrentDateStamp() {
    return UtcNow("%Y%m%d%H%M%S");
}

}  // namespace qbpublish

#include "support/ZipFixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "common/zip/ZipSupport.h"

namespace kmtest {
namespace {

using km::TZipPtr;

[[noreturn]] void Fail(zip_t* archive, const std::string& what) {
    throw std::runtime_error(what + ": " + km::ZipErrorMessage(zip_get_error(archive)));
}

TZipPtr Create(const std::filesystem::path& archive) {
    std::filesystem::create_directories(archive.parent_path());
    int error = 0;
    TZipPtr zip(zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
    if (!zip) {
        throw std::runtime_error("cannot create " + archive.string());
    }
    return zip;
}

void Close(TZipPtr zip, const std::string& archive) {
    if (zip_close(zip.get()) != 0) {
        Fail(zip.get(), "cannot write " + archive);
    }
    static_cast<void>(zip.release());
}

void Encrypt(zip_t* zip, zip_int64_t index, const std::string& password) {
    if (!password.empty() && zip_file_set_encryption(zip, static_cast<zip_uint64_t>(index),
                                                     ZIP_EM_TRAD_PKWARE, password.c_str()) != 0) {
        Fail(zip, "cannot encrypt");
    }
}

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

uint32_t Le32(const std::string& b, std::size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b.at(at))) |
           static_cast<uint32_t>(static_cast<unsigned char>(b.at(at + 1))) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b.at(at + 2))) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b.at(at + 3))) << 24;
}
uint16_t Le16(const std::string& b, std::size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b.at(at)) |
                                 static_cast<unsigned char>(b.at(at + 1)) << 8);
}
void Put16(std::string& b, std::size_t at, uint16_t value) {
    b.at(at) = static_cast<char>(value & 0xFF);
    b.at(at + 1) = static_cast<char>(value >> 8);
}

}  // namespace

void WriteZip(const std::filesystem::path& archive, const std::vector<ZipEntrySpec>& entries) {
    TZipPtr zip = Create(archive);
    for (const ZipEntrySpec& entry : entries) {
        zip_int64_t index = -1;
        if (!entry.Name.empty() && entry.Name.back() == '/') {
            index = zip_dir_add(zip.get(), entry.Name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* source =
                zip_source_buffer(zip.get(), entry.Content.data(), entry.Content.size(), 0);
            if (source == nullptr) {
                Fail(zip.get(), "cannot add " + entry.Name);
            }
            index = zip_file_add(zip.get(), entry.Name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
            }
        }
        if (index < 0) {
            Fail(zip.get(), "cannot add " + entry.Name);
        }
        const auto idx = static_cast<zip_uint64_t>(index);
        zip_set_file_compression(zip.get(), idx, entry.Stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
        Encrypt(zip.get(), index, entry.Password);
        if (entry.UnixMode) {
            zip_file_set_external_attributes(zip.get(), idx, 0, ZIP_OPSYS_UNIX,
                                             *entry.UnixMode << 16);
        } else if (entry.DosAttributes) {
            zip_file_set_external_attributes(zip.get(), idx, 0, ZIP_OPSYS_DOS,
                                             *entry.DosAttributes);
        }
        if (entry.MTime) {
            zip_file_set_mtime(zip.get(), idx, *entry.MTime, 0);
        }
    }
    Close(std::move(zip), archive.string());
}

void ZipFolder(const std::filesystem::path& folder, const std::filesystem::path& archive,
               const std::string& password, int compressionLevel) {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    TZipPtr zip = Create(archive);
    for (const std::filesystem::path& path : paths) {
        const std::string name = path.lexically_relative(folder).generic_string();
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            throw std::runtime_error("cannot read " + path.string());
        }
        zip_int64_t index = -1;
        if (S_ISDIR(st.st_mode)) {
            index = zip_dir_add(zip.get(), name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* source = zip_source_file(zip.get(), path.c_str(), 0, -1);
            if (source == nullptr) {
                Fail(zip.get(), "cannot add " + path.string());
            }
            index = zip_file_add(zip.get(), name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
            } else {
                zip_set_file_compression(zip.get(), static_cast<zip_uint64_t>(index),
                                         ZIP_CM_DEFLATE,
                                         static_cast<zip_uint32_t>(compressionLevel));
                Encrypt(zip.get(), index, password);
            }
        }
        if (index < 0) {
            Fail(zip.get(), "cannot add " + path.string());
        }
        const auto idx = static_cast<zip_uint64_t>(index);
        zip_file_set_external_attributes(zip.get(), idx, 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>(st.st_mode) << 16);
        zip_file_set_mtime(zip.get(), idx, st.st_mtime, 0);
    }
    Close(std::move(zip), archive.string());
}

void PatchZipHeader(const std::filesystem::path& archive, std::size_t index, ZipHeaderField field,
                    uint16_t value) {
    std::string bytes = ReadAll(archive);
    const std::size_t end = bytes.rfind(std::string("PK\x05\x06", 4));
    if (end == std::string::npos) {
        throw std::runtime_error("no end record in " + archive.string());
    }
    std::size_t header = Le32(bytes, end + 16);
    for (std::size_t i = 0; i < index; ++i) {
        header +=
            46 + Le16(bytes, header + 28) + Le16(bytes, header + 30) + Le16(bytes, header + 32);
    }
    if (Le32(bytes, header) != 0x02014b50) {
        throw std::runtime_error("no central header " + std::to_string(index));
    }
    const std::size_t local = Le32(bytes, header + 42);
    const bool version = field == ZipHeaderField::VersionNeeded;
    Put16(bytes, header + (version ? 6 : 10), value);
    Put16(bytes, local + (version ? 4 : 8), value);
    WriteAll(archive, bytes);
}

std::size_t ReplaceBytes(const std::filesystem::path& file, const std::string& from,
                         const std::string& to) {
    if (from.size() != to.size() || from.empty()) {
        throw std::runtime_error("ReplaceBytes needs two texts of one length");
    }
    std::string bytes = ReadAll(file);
    std::size_t count = 0;
    for (std::size_t pos = bytes.find(from); pos != std::string::npos;
         pos = bytes.find(from, pos + to.size())) {
        bytes.replace(pos, from.size(), to);
        ++count;
    }
    WriteAll(file, bytes);
    return count;
}

bool CheckByteRejects(const std::filesystem::path& archive, const std::string& password) {
    int error = 0;
    const TZipPtr zip(zip_open(archive.c_str(), ZIP_RDONLY, &error));
    if (!zip) {
        return false;
    }
    const km::TZipFilePtr file(zip_fopen_index_encrypted(zip.get(), 0, 0, password.c_str()));
    return !file && zip_error_code_zip(zip_get_error(zip.get())) == ZIP_ER_WRONGPASSWD;
}

}  // namespace kmtest

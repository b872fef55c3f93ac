#include "Verifier.h"

#include <filesystem>
#include <optional>

#include "DescriptorModel.h"
#include "PublishError.h"
#include "common/crypto/Crypto.h"
#include "common/files/FileOps.h"
#include "common/files/WorkDir.h"
#include "common/web/KmWeb.h"
#include "quorbel/DescriptorSignature.h"

namespace qbpublish {
namespace {

namespace fs = std::filesystem;

bool IsAbsoluteUrl(const std::string& url) {
    return url.starts_with("http://") || url.starts_with("https://");
}

class TChecker {
  public:
    TChecker(std::string dir, TVerifyResult& result) : fDir(std::move(dir)), fResult(result) {}

    void Ok(const std::string& text) { fResult.Lines.push_back("ok   " + text); }
    void Fail(const std::string& text) {
        fResult.Ok = false;
        fResult.Lines.push_back("FAIL " + text);
    }

    // The file a URL names: in the folder, or fetched from elsewhere.
    std::optional<std::string> Fetch(const std::string& url) {
        if (!IsAbsoluteUrl(url)) {
            std::string name = url;
            if (name.starts_with("#QBCONFIGDIR#")) {
                name = name.substr(13);
            }
            if (name.find("..") != std::string::npos || name.find(':') != std::string::npos) {
                return std::nullopt;
            }
            return (fs::path(fDir) / name).string();
        }
        if (!fWork) {
            fWork.emplace("~qv");
        }
        const std::string file = fWork->Path() + std::to_string(++fFetched) + ".zip";
        try {
            km::DownloadFile(url, file, nullptr, nullptr);
            return file;
        } catch (const std::exception& e) {
            Fail(url + ": " + e.what());
            return std::nullopt;
        }
    }

    void Package(const std::string& what, const std::string& url, const std::string& sha256,
                 const std::string& size) {
        const std::optional<std::string> file = Fetch(url);
        if (!file) {
            return;
        }
        std::error_code ec;
        const uintmax_t actualSize = fs::file_size(*file, ec);
        if (ec) {
            Fail(what + " " + url + ": missing (" + ec.message() + ")");
            return;
        }
        const std::optional<std::string> digest = km::Sha256OfFile(*file);
        if (!size.empty() && size != std::to_string(actualSize)) {
            Fail(what + " " + url + ": " + std::to_string(actualSize) +
                 " bytes, the descriptor says " + size);
        } else if (sha256.empty()) {
            Fail(what + " " + url + ": the descriptor names no sha256");
        } else if (!digest || *digest != sha256) {
            Fail(what + " " + url + ": sha256 " + digest.value_or("?") + ", the descriptor says " +
                 sha256);
        } else {
            Ok(what + " " + url + " (" + std::to_string(actualSize) + " bytes, sha256 matches)");
        }
    }

  private:
    std::string fDir;
    TVerifyResult& fResult;
    std::optional<km::TWorkDir> fWork;
    int fFetched = 0;
};

}  // namespace

TVerifyResult Verify(const std::string& dir, const std::vector<std::string>& keys) {
    TVerifyResult result;
    TChecker check(dir, result);
    const std::string file = (fs::path(dir) / "configinfo.xml").string();
    const std::optional<std::string> bytes = km::ReadWholeFile(file);
    if (!bytes) {
        check.Fail(file + ": cannot be read");
        return result;
    }
    TDescriptorModel model;
    try {
        model = ReadDescriptorModel(*bytes);
    } catch (const EPublishError& e) {
        check.Fail(file + ": " + e.what());
        return result;
    }
    check.Ok(file + " (" + std::to_string(model.Entries.size()) + " types)");
    const std::optional<std::string> signature = km::ReadWholeFile(file + ".sig");
    if (keys.empty()) {
        if (signature) {
            check.Ok(file + ".sig present (not checked: give --key)");
        }
    } else {
        const qb::TDescriptorVerdict verdict = qb::CheckDescriptor(
            *bytes, signature, keys, model.Published, "",
            qb::PublishedTimeOf(std::chrono::system_clock::now()), model.Supersedes);
        switch (verdict) {
            case qb::TDescriptorVerdict::Accepted:
                check.Ok(file + ".sig: signed by a given key, published " + model.Published);
                break;
            case qb::TDescriptorVerdict::NoSignature:
                check.Fail(file + ".sig: missing or not a signature");
                break;
            case qb::TDescriptorVerdict::BadSignature:
                check.Fail(file + ".sig: not made by a given key over this descriptor");
                break;
            case qb::TDescriptorVerdict::NoPublished:
                check.Fail(file + ": no valid published time");
                break;
            case qb::TDescriptorVerdict::NotYetValid:
                check.Fail(file + ": published " + model.Published + ", after tomorrow");
                break;
            case qb::TDescriptorVerdict::Older:
                break;
        }
    }
    for (const TPackageEntry& entry : model.Entries) {
        check.Package(entry.Type + " package", entry.Url, entry.Sha256, entry.Size);
        for (const std::string& mirror : entry.Mirrors) {
            check.Package(entry.Type + " mirror", mirror, entry.Sha256, entry.Size);
        }
        for (const TDeltaEntry& delta : entry.Deltas) {
            check.Package(entry.Type + " delta from " + delta.Base, delta.Url, delta.Sha256,
                          delta.Size);
        }
    }
    return result;
}

}  // namespace qbpublish

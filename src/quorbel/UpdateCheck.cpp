#include "quorbel/UpdateCheck.h"

#include "common/base/KmException.h"
#include "common/files/FileOps.h"
#include "common/files/WorkDir.h"
#include "common/registry/KmRegistry.h"
#include "common/web/KmWeb.h"
#include "quorbel/ConfigInfoXml.h"
#include "quorbel/DescriptorSignature.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/XmlParserGuard.h"

namespace qb {
namespace {

// Fetches url into file; false (with problem) when it cannot be had.
bool Fetch(const std::string& url, const std::string& file, const TUpdaterSettings& settings,
           const std::function<bool()>& shouldStop, std::string& problem) {
    auto config = std::make_unique<km::THttpConfig>();
    config->StallTimeout = settings.StallTimeout;
    config->FirstRetryWait = settings.FirstRetryWait;
    try {
        km::DownloadFile(url, file, std::move(config), [&](void*, km::TWorkMode, int64_t count) {
            if (shouldStop && shouldStop()) {
                throw km::EAbort();
            }
            if (count > kMaxConfigInfoXmlSize) {
                throw km::Exception("The update descriptor is too large");
            }
        });
        return true;
    } catch (const std::exception& e) {
        km::DeleteFile(file + ".part");
        problem = e.what();
        return false;
    }
}

}  // namespace

TUpdateCheck CheckForUpdates(const TUpdateRunSettings& settings,
                             const std::function<bool()>& shouldStop) {
    const TXmlParserGuard parserGuard;
    const std::string project = settings.InstallerMode && !settings.Project.empty()
                                    ? settings.Project
                                    : kDefaultProjectName;
    const std::string url =
        ConfigServerPath(settings.Worker.ConfigServerRoot, project) + "configinfo.xml";
    const km::TWorkDir work("~qb");
    const std::string file = work.Path() + "configinfo.xml";
    TUpdateCheck check;
    if (!Fetch(url, file, settings.Worker, shouldStop, check.Problem)) {
        return check;
    }
    std::unique_ptr<TConfigInfoXml> descriptor;
    try {
        descriptor = TConfigInfoXml::LoadFromFile(file);
    } catch (const std::exception& e) {
        check.Problem = e.what();
        return check;
    }
    if (!settings.Worker.PublicKeys.empty()) {
        std::string problem;
        std::optional<std::string> signature;
        if (Fetch(url + ".sig", file + ".sig", settings.Worker, shouldStop, problem)) {
            signature = km::ReadWholeFile(file + ".sig");
        }
        const TDescriptorVerdict verdict = CheckDescriptor(
            km::ReadWholeFile(file).value_or(std::string()), signature,
            DecodePublicKeys(settings.Worker.PublicKeys), descriptor->ReadPublished(),
            km::ReadRegString("lastdescriptor." + project, ""));
        if (verdict != TDescriptorVerdict::Accepted) {
            check.Problem = RefusalText(verdict);
            return check;
        }
    }
    check.HaveDescriptor = true;
    for (const TUpdateType& type : kUpdateTypes) {
        if (type.InstallerModeOnly && !settings.InstallerMode) {
            continue;
        }
        const TConfigInfoXmlData entry = descriptor->ReadEntry(type.Name);
        TTypeOffer offer{type.Name,
                         km::ReadRegString(LastConfigUpdateRegKey(project, type.Name), ""),
                         entry.Date, false};
        offer.Waiting = !entry.Date.empty() && !entry.Url.empty() &&
                        (entry.Date != offer.Recorded || entry.Date == "force");
        check.Types.push_back(offer);
    }
    return check;
}

}  // namespace qb

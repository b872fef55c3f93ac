#include "quorbel/UpdateCheck.h"

#include "common/files/WorkDir.h"
#include "quorbel/DescriptorFetch.h"
#include "quorbel/DescriptorSignature.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/ProductFolders.h"
#include "quorbel/RunContext.h"
#include "quorbel/XmlParserGuard.h"

namespace qb {

TUpdateCheck CheckForUpdates(const TRunRequest& request, const TWorld& world,
                             const std::function<bool()>& shouldStop) {
    const km::TFileSystemScope fileSystem(world.Files);
    const TXmlParserGuard parserGuard;
    TProductFolders folders(world.Settings);
    km::TWorkDir work(folders.PrivateTemp(), "~qb");
    TFollowUp followUp;
    const std::string project = ProjectOf(request);
    const auto deadline = world.Clock.Steady() + request.Settings.RunTimeLimit;
    const std::function<bool()> stop = [&] {
        return (shouldStop && shouldStop()) || world.Clock.Steady() >= deadline;
    };
    const TRunContext context{request,
                              world,
                              stop,
                              nullptr,
                              project,
                              ConfigServerPath(request.Settings.ConfigServerRoot, project),
                              DecodePublicKeys(request.Settings.PublicKeys),
                              folders,
                              work,
                              followUp};
    const TDescriptor descriptor = DownloadConfigInfoXml(context, false);
    TUpdateCheck check;
    if (!descriptor.Xml) {
        check.Stopped = descriptor.Missing == TOutcome::Stopped;
        check.Problem = descriptor.Problem;
        return check;
    }
    check.HaveDescriptor = true;
    for (const TUpdateType& type : kUpdateTypes) {
        if (type.InstallerModeOnly && !request.InstallerMode) {
            continue;
        }
        const TConfigInfoXmlData entry = descriptor.Xml->ReadEntry(type.Name);
        TTypeOffer offer{type.Name,
                         world.Settings.Read(LastConfigUpdateRegKey(project, type.Name), ""),
                         entry.Date, false};
        offer.Waiting = !entry.Date.empty() && !entry.Url.empty() &&
                        (entry.Date != offer.Recorded || entry.Date == "force");
        check.Types.push_back(offer);
    }
    return check;
}

}  // namespace qb

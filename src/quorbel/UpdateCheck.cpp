#include "quorbel/UpdateCheck.h"

#include "common/files/WorkDir.h"
#include "quorbel/DescriptorFetch.h"
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
    const std::function<bool()> stop = StopOrTimeLimit(request, world, shouldStop);
    const TRunContext context =
        MakeRunContext(request, world, stop, nullptr, folders, work, followUp);
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
        TTypeOffer offer{
            type.Name, world.Settings.Read(LastConfigUpdateRegKey(context.Project, type.Name), ""),
            entry.Date, false};
        offer.Waiting = !entry.Date.empty() && !entry.Url.empty() &&
                        (entry.Date != offer.Recorded || entry.Date == "force");
        check.Types.push_back(offer);
    }
    return check;
}

}  // namespace qb

#include "quorbel/RunContext.h"

#include "quorbel/DescriptorSignature.h"

namespace qb {

TRunContext MakeRunContext(const TRunRequest& request, const TWorld& world,
                           const std::function<bool()>& stop, TRunObserver* observer,
                           TProductFolders& folders, km::TWorkDir& downloadDir,
                           TFollowUp& followUp) {
    const std::string project = ProjectOf(request);
    return {request,
            world,
            stop,
            observer,
            project,
            ConfigServerPath(request.Settings.ConfigServerRoot, project),
            DecodePublicKeys(request.Settings.PublicKeys),
            folders,
            downloadDir,
            followUp};
}

std::function<bool()> StopOrTimeLimit(const TRunRequest& request, const TWorld& world,
                                      const std::function<bool()>& shouldStop) {
    const auto deadline = world.Clock.Steady() + request.Settings.RunTimeLimit;
    return [&world, shouldStop, deadline] {
        return (shouldStop && shouldStop()) || world.Clock.Steady() >= deadline;
    };
}

}  // namespace qb

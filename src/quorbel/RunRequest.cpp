#include "quorbel/RunRequest.h"

namespace qb {

std::string ProjectOf(const TRunRequest& request) {
    return request.InstallerMode && !request.Project.empty() ? request.Project
                                                             : std::string(kDefaultProjectName);
}

std::string ConfigServerPath(const std::string& root, const std::string& projectName) {
    return root + "/qbdata/" + projectName + "/";
}

std::string LastConfigUpdateRegKey(const std::string& projectName, const std::string& type) {
    if (projectName == kDefaultProjectName) {
        return "lastconfigupdate." + type;
    }
    return "lastconfigupdate." + projectName + "." + type;
}

}  // namespace qb

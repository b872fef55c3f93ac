#include "common/web/KmWeb.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "common/base/KmException.h"
#include "common/base/LocaleText.h"

namespace km {

std::unique_ptr<THttpClient> CreateHttpClient(const THttpConfig* config, const TWorkEvent& onWork) {
    // Unit and line are the ones this assertion has always reported.
    KmAssert(config != nullptr, "", "common/Km.Web", 397);
    return std::make_unique<THttpClient>(*config, onWork);
}

void HttpGetToStream(const std::string& url, std::ostream* target, THttpConfigArg config,
                     const TWorkEvent& onWork) {
    // Taken over here so that the settings are released when this call ends,
    // whatever happens below.
    const THttpConfigArg settings = std::move(config);
    KmAssert(target != nullptr, "", "common/Km.Web", 477);
    const THttpConfig defaults;
    const THttpConfig* given = settings.Get();
    const std::unique_ptr<THttpClient> client =
        CreateHttpClient(given != nullptr ? given : &defaults, onWork);
    client->Get(url, *target);
}

void DownloadFile(const std::string& url, const std::string& fileName, THttpConfigArg config,
                  const TWorkEvent& onWork) {
    const std::string partName = fileName + ".part";
    std::ofstream part(partName, std::ios::binary | std::ios::trunc);
    if (!part.is_open()) {
        throw std::filesystem::filesystem_error("Cannot create file", partName,
                                                std::error_code(errno, std::generic_category()));
    }
    HttpGetToStream(url, &part, std::move(config), onWork);
    part.close();
    if (part.fail()) {
        // Never let an incompletely written file take the target's name.
        throw std::filesystem::filesystem_error("Cannot write file", partName,
                                                std::error_code(errno, std::generic_category()));
    }
    // Both results are ignored on purpose: when the old file cannot go or the
    // rename fails, the body stays in the part file and the target as it was.
    ::unlink(fileName.c_str());
    std::rename(partName.c_str(), fileName.c_str());
}

std::string DownloadString(const std::string& url, bool raiseOnError) {
    try {
        std::ostringstream buffer;
        HttpGetToStream(url, &buffer, nullptr, nullptr);
        return LocaleBytesToUtf8(buffer.view());
    } catch (...) {
        if (raiseOnError) {
            throw;
        }
        return {};
    }
}

}  // namespace km

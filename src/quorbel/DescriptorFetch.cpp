#include "quorbel/DescriptorFetch.h"

#include <fcntl.h>

#include <cerrno>
#include <optional>

#include "common/base/KmDebug.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"
#include "common/files/UniqueFd.h"
#include "quorbel/DescriptorSignature.h"

namespace qb {
namespace {

TProblem RefusalProblem(TDescriptorVerdict verdict) {
    switch (verdict) {
        case TDescriptorVerdict::NoSignature:
            return {TProblemId::DescriptorNotSigned, {}};
        case TDescriptorVerdict::BadSignature:
            return {TProblemId::DescriptorBadSignature, {}};
        case TDescriptorVerdict::NoPublished:
            return {TProblemId::DescriptorNoPublished, {}};
        case TDescriptorVerdict::Older:
            return {TProblemId::DescriptorOlder, {}};
        case TDescriptorVerdict::NotYetValid:
            return {TProblemId::DescriptorNotYetValid, {}};
        case TDescriptorVerdict::Accepted:
            break;
    }
    return {};
}

TFetchResult Fetch(const TRunContext& context, const std::string& url, const std::string& name) {
    return context.World.Fetcher.Fetch(
        url, context.DownloadDir.Dir(), name, context.FetchOptions(kMaxConfigInfoXmlSize),
        [&](int64_t count) { context.Received(count); }, context.ShouldStop);
}

TDescriptor Missing(TOutcome outcome, TProblem problem) {
    TDescriptor descriptor;
    descriptor.Missing = outcome;
    descriptor.Problem = std::move(problem);
    return descriptor;
}

}  // namespace

std::optional<std::string> ReadHeldFile(const km::TDir& dir, const std::string& name,
                                        int64_t maxBytes) {
    const km::TUniqueFd fd(dir.OpenBeneath(name, O_RDONLY | O_NONBLOCK));
    if (!fd.Valid()) {
        return std::nullopt;
    }
    std::string content;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = km::Fs().Read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return content;
        }
        content.append(buffer, static_cast<size_t>(n));
        if (static_cast<int64_t>(content.size()) > maxBytes) {
            return std::nullopt;
        }
    }
}

TProblem FetchProblem(const std::string& url, const TFetchResult& result) {
    if (result.Status == TFetchResult::TStatus::Stopped) {
        return {TProblemId::Stopped, {}};
    }
    return {TProblemId::DownloadFailed, {url, result.Text}};
}

TDescriptor DownloadConfigInfoXml(const TRunContext& context, bool record) {
    const std::string url = context.ServerPath + "configinfo.xml";
    const std::string name = km::ExtractUrlFileName(url);
    const TFetchResult fetched = Fetch(context, url, name);
    if (fetched.Status != TFetchResult::TStatus::Done) {
        if (fetched.Status == TFetchResult::TStatus::Stopped) {
            return Missing(TOutcome::Stopped, {TProblemId::Stopped, {}});
        }
        return Missing(TOutcome::NoDescriptor,
                       {TProblemId::DescriptorDownloadFailed, {url, fetched.Text}});
    }
    const std::optional<std::string> bytes =
        ReadHeldFile(context.DownloadDir.Dir(), name, kMaxConfigInfoXmlSize);
    if (!bytes) {
        return Missing(
            TOutcome::NoDescriptor,
            {TProblemId::Message, {"Cannot read " + context.DownloadDir.Dir().PathOf(name)}});
    }
    TDescriptor descriptor;
    try {
        descriptor.Xml = TConfigInfoXml::LoadFromBytes(*bytes);
    } catch (const std::exception& e) {
        return Missing(TOutcome::NoDescriptor, {TProblemId::Message, {e.what()}});
    }
    if (!context.Signed()) {
        return descriptor;
    }
    // A signed build: the descriptor counts only with a valid signature by
    // one of the keys and a publication time not older than the last one.
    const std::string signatureName = name + ".sig";
    const TFetchResult signatureFetch = Fetch(context, url + ".sig", signatureName);
    if (signatureFetch.Status == TFetchResult::TStatus::Stopped) {
        return Missing(TOutcome::Stopped, {TProblemId::Stopped, {}});
    }
    std::optional<std::string> signature;
    if (signatureFetch.Status == TFetchResult::TStatus::Done) {
        signature = ReadHeldFile(context.DownloadDir.Dir(), signatureName, kMaxConfigInfoXmlSize);
    } else {
        km::DebugWarning("no signature for " + url + ": " + signatureFetch.Text, "ConfigUpdater");
    }
    const std::string lastKey = "lastdescriptor." + context.Project;
    const std::string published = descriptor.Xml->ReadPublished();
    const TDescriptorVerdict verdict = CheckDescriptor(
        *bytes, signature, context.Keys, published, context.World.Settings.Read(lastKey, ""),
        PublishedTimeOf(context.World.Clock.Now()), descriptor.Xml->ReadRootValue("supersedes"));
    if (verdict != TDescriptorVerdict::Accepted) {
        km::DebugWarning(
            "descriptor " + url + " refused: " + ProblemTextGerman(RefusalProblem(verdict)),
            "ConfigUpdater");
        return Missing(TOutcome::Refused, RefusalProblem(verdict));
    }
    if (record) {
        context.World.Settings.Write(lastKey, published);
    }
    return descriptor;
}

TConfigInfoXmlData GetConfigInfoXmlData(const TRunContext& context, const TConfigInfoXml& xml,
                                        const std::string& type) {
    TConfigInfoXmlData result = xml.ReadEntry(type);
    result.Url = ResolveConfigUrl(result.Url, context.ServerPath);
    for (std::string& mirror : result.Mirrors) {
        mirror = ResolveConfigUrl(mirror, context.ServerPath);
    }
    for (TDeltaData& delta : result.Deltas) {
        delta.Url = ResolveConfigUrl(delta.Url, context.ServerPath);
    }
    return result;
}

}  // namespace qb

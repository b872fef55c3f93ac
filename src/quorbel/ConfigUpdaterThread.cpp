#include "quorbel/ConfigUpdaterThread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/base/KmDebug.h"
#include "common/base/KmException.h"
#include "common/base/SysError.h"
#include "common/base/Translate.h"
#include "common/crypto/Crypto.h"
#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"
#include "common/registry/KmRegistry.h"
#include "common/zip/KmZipper.h"
#include "quorbel/CopyInTransaction.h"
#include "quorbel/FolderSwap.h"
#include "quorbel/FollowUpPath.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/LocalArchive.h"
#include "quorbel/UpdateLock.h"
#include "quorbel/UpdateRecovery.h"
#include "quorbel/XmlParserGuard.h"

namespace qb {
namespace {

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string DirectoryPart(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

}  // namespace

TConfigUpdaterThread::TConfigUpdaterThread(const std::string& threadId,
                                           km::TThreadManager* threadManager, bool BOnlineUpdate,
                                           bool AIsOnlineInstallerMode,
                                           const std::string& AProjectName,
                                           TUpdaterSettings settings)
    : km::TManagedThread(threadId, threadManager),
      FBOnlineUpdate(BOnlineUpdate),
      FIsOnlineInstallerMode(AIsOnlineInstallerMode),
      FProjectName(AProjectName),
      fSettings(std::move(settings)) {
    if (FIsOnlineInstallerMode && FProjectName.empty()) {
        throw km::EInternalError("Project name must be specified for OnlineUpdater");
    }
    if (!FIsOnlineInstallerMode && !FProjectName.empty()) {
        throw km::EInternalError("For Quorbel the project name must always be empty");
    }
}

TConfigUpdaterThread::~TConfigUpdaterThread() {
    // Execute uses this object's members: it must have ended before they go.
    if (!Finished()) {
        Terminate();
        WaitFor();
    }
}

std::string TConfigUpdaterThread::GetToRun() const {
    return FLastTargetDir + FToRun;
}

std::string TConfigUpdaterThread::GetProjectName() const {
    return FProjectName.empty() ? std::string(kDefaultProjectName) : FProjectName;
}

std::string ConfigServerPath(const std::string& root, const std::string& projectName) {
    return root + "/qbdata/" + projectName + "/";
}

std::string TConfigUpdaterThread::GetConfigServerPath() const {
    return ConfigServerPath(fSettings.ConfigServerRoot, GetProjectName());
}

std::string TConfigUpdaterThread::GetConfigInfoFileName() const {
    return GetConfigServerPath() + "configinfo.xml";
}

std::string TConfigUpdaterThread::GetArchiveDigestRegKey(const std::string& AConfigType) const {
    return "archivedigest" + GetLastConfigUpdateRegKey(AConfigType).substr(16);
}

std::string LastConfigUpdateRegKey(const std::string& projectName, const std::string& type) {
    if (projectName == kDefaultProjectName) {
        return "lastconfigupdate." + type;
    }
    return "lastconfigupdate." + projectName + "." + type;
}

std::string TConfigUpdaterThread::GetLastConfigUpdateRegKey(const std::string& AConfigType) const {
    return LastConfigUpdateRegKey(GetProjectName(), AConfigType);
}

std::vector<TTypeOutcome> TConfigUpdaterThread::Outcomes() const {
    const std::lock_guard lock(fReportMutex);
    return fOutcomes;
}

TRunProgress TConfigUpdaterThread::Progress() const {
    const std::lock_guard lock(fReportMutex);
    return fProgress;
}

void TConfigUpdaterThread::Execute() {
    const TXmlParserGuard parserGuard;
    try {
        SetReturnValue(DoUpdate(FIsOnlineInstallerMode));
    } catch (const std::exception& e) {
        SetReturnValue(-1);
        SetCustomReturnValue(e.what());
    }
}

int TConfigUpdaterThread::DoUpdate(bool AIsOnlineInstallerMode) {
    const std::string configDir = GetConfigDir();
    const TUpdateLock lock(
        configDir, [this] { return Terminated(); }, fSettings.LockWait);
    if (lock.State() == TUpdateLock::TState::Stopped) {
        throw km::Exception("Another update of this product did not end");
    }
    if (lock.State() == TUpdateLock::TState::TimedOut) {
        SetTypeText(
            km::Tr("Eine andere Aktualisierung dieses Produkts läuft noch. "
                   "Bitte versuchen Sie es später erneut."));
        return kAnotherUpdateHoldsTheProduct;
    }
    RecoverInterruptedUpdate(configDir);
    RemoveStaleWorkingFolders();
    fDownloadDir = km::TWorkDir("~qb");
    fKeys = DecodePublicKeys(fSettings.PublicKeys);

    std::unique_ptr<TConfigInfoXml> configInfoXml;
    if (FBOnlineUpdate) {
        configInfoXml = DownloadConfigInfoXml(GetConfigInfoFileName(), fDownloadDir.Path());
    }
    int result = 0;
    // Without anything installed the result is made of the codes of the last
    // two types handled: later x 100 + earlier.
    int32_t earlierError = 0;
    int32_t laterError = 0;
    for (const TUpdateType& type : kUpdateTypes) {
        if (type.InstallerModeOnly && !AIsOnlineInstallerMode) {
            continue;
        }
        const std::string password =
            fSettings.ArchivePasswords ? ArchivePasswordBytes(fSettings.ArchivePasswords(type.Name))
                                       : std::string();
        int32_t error = 0;
        {
            const std::lock_guard lock(fReportMutex);
            fProgress = {type.Name, 0};
        }
        fTypeText.clear();
        const bool installed = UpdateForConfigType(type.Name, configInfoXml.get(), password, error);
        if (installed) {
            result |= type.InstalledBit;
        }
        {
            const std::lock_guard lock(fReportMutex);
            fOutcomes.push_back({type.Name, error, installed,
                                 km::ReadRegString(GetLastConfigUpdateRegKey(type.Name), ""),
                                 fTypeText});
        }
        earlierError = laterError;
        laterError = error;
    }
    if (result == 0) {
        result = laterError * 100 + earlierError;
    }
    return result;
}

bool TConfigUpdaterThread::UpdateForConfigType(const std::string& ConfigType,
                                               const TConfigInfoXml* configInfoXml,
                                               const std::string& APassWdForZip,
                                               int32_t& ResultError) {
    ResultError = 0;
    bool installed = false;
    std::string lastConfigUpdate;
    // A refused descriptor installs nothing, a waiting archive neither.
    if (fDescriptorVerdict != TDescriptorVerdict::Accepted) {
        ResultError = -5;
        SetTypeText(RefusalText(fDescriptorVerdict));
        return installed;
    }
    const TUpdateTypeDirs dirs = GetUpdateTypeDirs(ConfigType);
    // An install package's folder that received nothing serves no program.
    struct TRemoveIfEmpty {
        std::string Folder;
        ~TRemoveIfEmpty() {
            if (!Folder.empty()) {
                ::rmdir(Folder.c_str());
            }
        }
    } const unusedFolder{dirs.Type->Archive == TArchiveFolder::NewTempFolder ? dirs.ArchiveDir
                                                                             : std::string()};
    // Without a recorded data folder the folders would be relative to
    // whatever the current folder is: never touch those. A descriptor that
    // could not be fetched is the cause the user must hear of first.
    if (!IsAbsolute(dirs.ArchiveDir)) {
        ResultError = configInfoXml == nullptr ? -4 : -7;
        return installed;
    }
    const std::string configZip = dirs.ArchiveDir + ConfigType + ".zip";
    const bool hasFollowUp = dirs.Type->InstalledBit == kFollowUpBit;

    // Opened once: what is checked is what gets unpacked.
    const km::TUniqueFd waiting = OpenTrustedArchive(configZip);
    if (waiting.Valid() && IsVerifiedArchive(waiting, configZip, ConfigType)) {
        const int32_t r = UpdateFromConfigZip(waiting, configZip, ConfigType, dirs.TargetDir,
                                              dirs.DeleteAll, APassWdForZip);
        ResultError = r;
        if (r == 0) {
            installed = true;
            lastConfigUpdate = "init";
            km::WriteRegString(GetLastConfigUpdateRegKey(ConfigType), "init");
        }
    }
    if (configInfoXml == nullptr) {
        ResultError = -4;
        return installed;
    }
    lastConfigUpdate = km::ReadRegString(GetLastConfigUpdateRegKey(ConfigType), lastConfigUpdate);
    int32_t r = DownloadConfigZipIfNew(*configInfoXml, ConfigType, configZip, lastConfigUpdate);
    if (r == 0 && hasFollowUp) {
        r = CheckFollowUp(dirs.TargetDir);  // before anything is unpacked
    }
    ResultError = r;
    if (r != 0) {
        if (r == -9) {
            km::DeleteFile(configZip);
        }
        return installed;
    }
    // The downloaded file itself, as verified: not whatever the shared
    // folder holds under its name by now.
    const km::TUniqueFd downloaded = std::move(fDownloaded);
    r = UpdateFromConfigZip(downloaded, configZip, ConfigType, dirs.TargetDir, dirs.DeleteAll,
                            APassWdForZip);
    if (r == 0 && hasFollowUp) {
        r = CheckFollowUp(dirs.TargetDir);  // a link in the package may lead out
        if (r != 0) {
            km::DeleteDirectoryTree(dirs.TargetDir);  // the package's own new folder
        }
    }
    ResultError = r;
    if (r != 0) {
        return installed;
    }
    km::WriteRegString(GetLastConfigUpdateRegKey(ConfigType), lastConfigUpdate);
    return true;
}

std::unique_ptr<TConfigInfoXml> TConfigUpdaterThread::DownloadConfigInfoXml(
    const std::string& url, const std::string& downloadDir) {
    const std::string localFile = km::AddPathDelimiter(downloadDir) + km::ExtractUrlFileName(url);
    try {
        // A descriptor is a few kilobytes; a server that sends more is stopped
        // long before it fills the disk.
        km::DownloadFile(url, localFile, DownloadSettings(),
                         [this](void* sender, km::TWorkMode mode, int64_t count) {
                             OnDownloadWork(sender, mode, count);
                             if (count > kMaxConfigInfoXmlSize) {
                                 throw km::Exception("The update descriptor is too large");
                             }
                         });
        std::unique_ptr<TConfigInfoXml> descriptor = TConfigInfoXml::LoadFromFile(localFile);
        if (descriptor && !fKeys.empty() && !AcceptSignedDescriptor(url, localFile, *descriptor)) {
            return nullptr;
        }
        return descriptor;
    } catch (const std::exception&) {
        km::DeleteFile(localFile + ".part");  // up to the size cap of a refused body
        return nullptr;
    }
}

bool TConfigUpdaterThread::AcceptSignedDescriptor(const std::string& url,
                                                  const std::string& localFile,
                                                  const TConfigInfoXml& descriptor) {
    const std::string signatureFile = localFile + ".sig";
    std::optional<std::string> signature;
    try {
        km::DownloadFile(url + ".sig", signatureFile, DownloadSettings(),
                         [this](void* sender, km::TWorkMode mode, int64_t count) {
                             OnDownloadWork(sender, mode, count);
                             if (count > kMaxConfigInfoXmlSize) {
                                 throw km::Exception("The signature is too large");
                             }
                         });
        signature = km::ReadWholeFile(signatureFile);
    } catch (const km::EAbort&) {
        throw;
    } catch (const std::exception& e) {
        km::DeleteFile(signatureFile + ".part");
        km::DebugWarning("no signature for " + url + ": " + e.what(), "ConfigUpdater");
    }
    if (Terminated()) {
        throw km::EAbort();
    }
    const std::string lastKey = "lastdescriptor." + GetProjectName();
    const std::string published = descriptor.ReadPublished();
    fDescriptorVerdict =
        CheckDescriptor(km::ReadWholeFile(localFile).value_or(std::string()), signature, fKeys,
                        published, km::ReadRegString(lastKey, ""));
    if (fDescriptorVerdict != TDescriptorVerdict::Accepted) {
        km::DebugWarning("descriptor " + url + " refused: " + RefusalText(fDescriptorVerdict),
                         "ConfigUpdater");
        return false;
    }
    km::WriteRegString(lastKey, published);
    return true;
}

bool TConfigUpdaterThread::IsVerifiedArchive(const km::TUniqueFd& archive,
                                             const std::string& configZip,
                                             const std::string& configType) {
    if (fKeys.empty()) {
        return true;
    }
    const std::string recorded = km::ReadRegString(GetArchiveDigestRegKey(configType), "");
    const std::optional<std::string> digest = km::Sha256OfFile(OpenFileName(archive));
    if (!recorded.empty() && digest && *digest == recorded) {
        return true;
    }
    // Not the package whose digest was verified: someone put it there.
    km::DebugWarning("package archive " + configZip + " deleted: it is not a verified download",
                     "ConfigUpdater");
    km::DeleteFile(configZip);
    return false;
}

TConfigInfoXmlData TConfigUpdaterThread::GetConfigInfoXmlData(
    const TConfigInfoXml& ConfigInfoXml, const std::string& XmlNodeName) const {
    TConfigInfoXmlData result = ConfigInfoXml.ReadEntry(XmlNodeName);
    result.Url = ResolveConfigUrl(result.Url, GetConfigServerPath());
    return result;
}

int32_t TConfigUpdaterThread::DownloadConfigZipIfNew(const TConfigInfoXml& configInfoXml,
                                                     const std::string& xmlNodeName,
                                                     const std::string& ConfigZip,
                                                     std::string& lastConfigUpdate) {
    const TConfigInfoXmlData entry = GetConfigInfoXmlData(configInfoXml, xmlNodeName);
    FRunParams = entry.RunParams;
    FToRun = entry.ToRun;
    if (entry.Date.empty() || entry.Url.empty()) {
        return -1001;
    }
    if (entry.Date == lastConfigUpdate && entry.Date != "force") {
        return -1001;
    }
    // A URL that names no file (".../") offers no package we could store.
    const std::string fileName = km::ExtractUrlFileName(entry.Url);
    if (fileName.empty() || fileName == "." || fileName == "..") {
        return -1001;
    }
    const std::string tempFile = fDownloadDir.Path() + fileName;
    const bool isSigned = !fKeys.empty();
    if (isSigned && !IsSha256Hex(entry.Sha256)) {
        SetTypeText(km::TrArgs(
            "Das Paket %s stimmt nicht mit seiner Prüfsumme überein (erwartet %s, erhalten %s).",
            {entry.Url, "?", "-"}));
        return -2;
    }
    // The digest is computed as the package arrives: no second pass over it.
    km::TSha256 sha;
    int64_t hashed = 0;
    bool hashInOrder = true;
    const km::TBodyObserver observer = [&](int64_t offset, const char* data, size_t size) {
        if (offset == 0) {
            sha.Reset();
            hashed = 0;
            hashInOrder = true;
        }
        hashInOrder = hashInOrder && offset == hashed;
        sha.Update(data, size);
        hashed += static_cast<int64_t>(size);
    };
    bool failed = false;
    try {
        km::DownloadFile(
            entry.Url, tempFile, DownloadSettings(),
            [this](void* sender, km::TWorkMode mode, int64_t count) {
                OnDownloadWork(sender, mode, count);
            },
            isSigned ? observer : km::TBodyObserver());
    } catch (...) {
        failed = true;
    }
    if (failed || Terminated()) {
        // What a failed transfer received is of no use, and left in place it
        // could keep the temporary folder full for the remaining packages.
        km::DeleteFile(tempFile + ".part");
        km::DeleteFile(tempFile);
        return failed ? -3 : -1002;
    }
    if (isSigned) {
        const std::string digest =
            hashInOrder ? sha.FinalHex() : km::Sha256OfFile(tempFile).value_or(std::string());
        if (digest != entry.Sha256) {
            km::DeleteFile(tempFile);
            SetTypeText(
                km::TrArgs("Das Paket %s stimmt nicht mit seiner Prüfsumme überein (erwartet %s, "
                           "erhalten %s).",
                           {entry.Url, entry.Sha256, digest}));
            return -2;
        }
        // What a later run may install from this folder, should this one not.
        km::WriteRegString(GetArchiveDigestRegKey(xmlNodeName), digest);
    }
    // Only this user may write the archive where it waits, whatever the
    // umask: a waiting archive that others may write is never installed.
    ::chmod(tempFile.c_str(), 0644);
    fDownloaded.Reset(::open(tempFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    // A package that did not reach its place is found missing (-6) next,
    // with this cause.
    fPlaceError.clear();
    errno = 0;
    if (!PrepareArchiveFolder(DirectoryPart(ConfigZip))) {
        fPlaceError =
            km::SysErrorMessage(errno != 0 ? errno : EIO) + ": " + DirectoryPart(ConfigZip);
    } else if (errno = 0; !km::MoveFileOrCopy(tempFile, ConfigZip, true)) {
        fPlaceError = km::SysErrorMessage(errno != 0 ? errno : EIO) + ": " + ConfigZip;
    }
    if (!fPlaceError.empty()) {
        fDownloaded.Reset();
    }
    lastConfigUpdate = entry.Date;
    return 0;
}

int32_t TConfigUpdaterThread::UpdateFromConfigZip(const km::TUniqueFd& archive,
                                                  const std::string& ConfigZip,
                                                  const std::string& ConfigType,
                                                  const std::string& ATargetDir, bool ADeleteAll,
                                                  const std::string& APassWdForZip) {
    const TUpdateType& type = UpdateTypeNamed(ConfigType);
    if (type.Target == TTargetFolder::InstallFolder) {
        ADeleteAll = false;  // the installation folder is never replaced as a whole
    }
    if (!archive.Valid()) {
        SetTypeText(km::TrArgs(
            "Das Paketarchiv %s fehlt oder kann nicht verwendet werden (%s).",
            {ConfigZip, fPlaceError.empty() ? km::SysErrorMessage(ENOENT) : fPlaceError}));
        return -6;
    }
    const std::string configDir = GetConfigDir();
    km::TWorkDir work("~qb", type.Work == TWorkFolder::TempFolder ? "" : configDir);
    const std::string& workDir = work.Path();
    int32_t result = 0;
    try {
        km::ExtractZipArchive(OpenFileName(archive), workDir, APassWdForZip);
        FLastTargetDir = ATargetDir;
        const std::string packageFolder = workDir + ConfigType;
        std::string why;
        if (ADeleteAll) {
            result = ReplaceFolder(packageFolder, ATargetDir, &why) ? 0 : -8;
        } else if (IsAbsolute(ATargetDir) && km::DirectoryExists(ATargetDir)) {
            // The journal goes where only who may write the target can
            // reach it: into the target.
            result = CopyInWithRollback(packageFolder, ATargetDir, ATargetDir, &why) ? 0 : -8;
        } else {
            result = -7;
        }
        if (result == -8) {
            SetTypeText(
                km::TrArgs("Das Paket konnte nicht an seinen Platz gebracht werden (%s).", {why}));
        }
    } catch (const std::exception& e) {
        SetTypeText(e.what());
        result = -2;
    }
    work = km::TWorkDir();
    if (!ADeleteAll) {
        km::DeleteFile(ConfigZip);
    }
    return result;
}

int32_t TConfigUpdaterThread::CheckFollowUp(const std::string& packageDir) {
    if (IsInsidePackage(packageDir, FToRun)) {
        return 0;
    }
    SetTypeText(km::Tr("Das Installationspaket nennt ein Folgeprogramm außerhalb des Pakets: ") +
                FToRun);
    return -9;
}

void TConfigUpdaterThread::SetTypeText(const std::string& text) {
    fTypeText = text;
    SetCustomReturnValue(text);
}

km::THttpConfigPtr TConfigUpdaterThread::DownloadSettings() const {
    auto config = std::make_unique<km::THttpConfig>();
    config->StallTimeout = fSettings.StallTimeout;
    config->FirstRetryWait = fSettings.FirstRetryWait;
    return config;
}

void TConfigUpdaterThread::OnDownloadWork(void* /*ASender*/, km::TWorkMode /*AWorkMode*/,
                                          int64_t AWorkCount) {
    {
        const std::lock_guard lock(fReportMutex);
        fProgress.Received = AWorkCount;
    }
    if (Terminated()) {
        throw km::EAbort();
    }
}

}  // namespace qb

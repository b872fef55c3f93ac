#pragma once

// The update worker: a managed background thread that performs one update
// run and ends. It fetches the update descriptor from the configuration
// server, handles the update types dev, partner (and, in installer mode,
// patch and install) one after another, installs waiting and newly published
// packages, records their dates in the registry and condenses everything into
// one result code (ReturnValue) and a text (CustomReturnValue).
//
// Result codes: positive values are bits of installed kinds (1 dev or
// partner, 2 patch, 4 install). Otherwise the codes of the last two types
// handled, later type x 100 + earlier type:
//    -2 extracting or installing failed (message in CustomReturnValue)
//    -3 the package download failed or was aborted
//    -4 no update descriptor
//    -5 the descriptor was refused: its signature, its publication time or
//       a replay of an older one (a build with public keys only; the reason
//       in CustomReturnValue)
//    -6 the package archive does not exist (its path and the cause in
//       CustomReturnValue)
//    -7 the target folder does not exist, or the type's folders are not
//       known because no data folder is recorded
//    -8 moving or copying the package into place failed (the folder is
//       left as it was; the path and the cause in CustomReturnValue)
//    -9 the install package names a follow-up program outside itself
//       (nothing is started; message in CustomReturnValue)
//    -1001 nothing to install; -1002 stopped after a completed download
// -10 when another update of the product held it for all of the lock wait
// (nothing was done; message in CustomReturnValue), and -1 for an error that
// escaped the run (message in CustomReturnValue).
//
// Create it on the main thread with km::CreateManagedThread; its thread starts
// as soon as construction has completed. Its results may be read only after
// the thread manager has moved it to its ended threads.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/files/UniqueFd.h"
#include "common/files/WorkDir.h"
#include "common/thread/ThreadManager.h"
#include "common/web/KmWeb.h"
#include "quorbel/ArchivePassword.h"
#include "quorbel/ConfigInfoXml.h"
#include "quorbel/DescriptorSignature.h"

namespace qb {

// The configuration server root fixed into this build (scheme and host).
std::string DefaultConfigServerRoot();

// The archive passwords fixed into this build (none unless the build names
// them).
TArchivePasswordSource DefaultArchivePasswords();

// The vendor's Ed25519 public keys fixed into this build (base64), none for a
// build of unsigned updates.
std::vector<std::string> DefaultUpdatePublicKeys();

// What the build, or whoever creates the worker, fixes for its run.
struct TUpdaterSettings {
    // The configuration server root (scheme and host).
    std::string ConfigServerRoot = DefaultConfigServerRoot();
    // The archive passwords (UTF-8, written in the archives' code page when
    // used); none when empty.
    TArchivePasswordSource ArchivePasswords = DefaultArchivePasswords();
    // With keys (base64), only descriptors signed by one of them are
    // accepted, and every package must match the digest the descriptor
    // names; without, signatures are ignored.
    std::vector<std::string> PublicKeys = DefaultUpdatePublicKeys();
    // A download that receives less than 100 bytes a second for this long
    // fails (the HTTP client's stall limit).
    std::chrono::seconds StallTimeout = km::kDefaultStallTimeout;
    // The first wait before a download that broke off without progress is
    // tried again (then twice, four and eight times as long).
    std::chrono::milliseconds FirstRetryWait = km::THttpConfig().FirstRetryWait;
    // How long the run waits for another update of the product to end
    // (anyone who can read the lock file can hold it).
    std::chrono::milliseconds LockWait = std::chrono::minutes(15);
};

// The result of a run that found the product held by another update for all
// of TUpdaterSettings::LockWait.
inline constexpr int kAnotherUpdateHoldsTheProduct = -10;

// What one update type of a run came to.
struct TTypeOutcome {
    std::string Type;
    // The type's code (0 installed, -1001 nothing new, else as above).
    int32_t Code = 0;
    bool Installed = false;
    // The date recorded for the type after the run ("" when none).
    std::string Date;
    // The text of the type's failure, "" when it has none of its own.
    std::string Text;
};

// Where a run stands, for a progress display.
struct TRunProgress {
    std::string Type;      // the type being handled, "" before the first
    int64_t Received = 0;  // bytes of its current download so far
};

// The folder of a project on the configuration server:
// root + "/qbdata/" + projectName + "/".
std::string ConfigServerPath(const std::string& root, const std::string& projectName);

// The registry value that holds a type's recorded package date.
std::string LastConfigUpdateRegKey(const std::string& projectName, const std::string& type);

class TConfigUpdaterThread : public km::TManagedThread {
  public:
    // Raises km::EInternalError "Project name must be specified for
    // OnlineUpdater" (installer mode without a project) or "For Quorbel the
    // project name must always be empty" (a project without installer mode).
    TConfigUpdaterThread(const std::string& threadId, km::TThreadManager* threadManager,
                         bool BOnlineUpdate, bool AIsOnlineInstallerMode,
                         const std::string& AProjectName, TUpdaterSettings settings = {});
    // Deletes the download working folder (made by the run in the private
    // temporary folder) with its content.
    ~TConfigUpdaterThread() override;

    // The follow-up program: the last target folder followed by the
    // descriptor's "torun" value.
    std::string GetToRun() const;
    // The descriptor's "runparams" value of the last type that reached the
    // download step.
    const std::string& RunParams() const { return FRunParams; }
    // The descriptor's "torun" value alone.
    const std::string& ToRun() const { return FToRun; }
    // The outcomes of the types handled so far; any thread.
    std::vector<TTypeOutcome> Outcomes() const;
    // Any thread.
    TRunProgress Progress() const;

    std::string GetProjectName() const;
    std::string GetConfigServerPath() const;
    std::string GetConfigInfoFileName() const;
    std::string GetLastConfigUpdateRegKey(const std::string& AConfigType) const;
    // Where a signed package's verified digest is kept until it is installed.
    std::string GetArchiveDigestRegKey(const std::string& AConfigType) const;

  protected:
    void Execute() override;

  private:
    int DoUpdate(bool AIsOnlineInstallerMode);
    bool UpdateForConfigType(const std::string& ConfigType, const TConfigInfoXml* configInfoXml,
                             const std::string& APassWdForZip, int32_t& ResultError);
    std::unique_ptr<TConfigInfoXml> DownloadConfigInfoXml(const std::string& url,
                                                          const std::string& downloadDir);
    // Judges a downloaded descriptor's signature and publication time; false
    // (with fDescriptorVerdict saying why) when it must be refused.
    bool AcceptSignedDescriptor(const std::string& url, const std::string& localFile,
                                const TConfigInfoXml& descriptor);
    // Whether a waiting archive of a signed build is the one whose digest
    // was verified when it was downloaded; deletes it when not.
    bool IsVerifiedArchive(const km::TUniqueFd& archive, const std::string& configZip,
                           const std::string& configType);
    TConfigInfoXmlData GetConfigInfoXmlData(const TConfigInfoXml& ConfigInfoXml,
                                            const std::string& XmlNodeName) const;
    int32_t DownloadConfigZipIfNew(const TConfigInfoXml& configInfoXml,
                                   const std::string& xmlNodeName, const std::string& ConfigZip,
                                   std::string& lastConfigUpdate);
    // -9, with its text, when the follow-up program toRun of the install
    // package in packageDir lies outside it; 0 otherwise.
    int32_t CheckFollowUp(const std::string& packageDir);
    // Unpacks the archive open as archive (ConfigZip names it in texts).
    int32_t UpdateFromConfigZip(const km::TUniqueFd& archive, const std::string& ConfigZip,
                                const std::string& ConfigType, const std::string& ATargetDir,
                                bool ADeleteAll, const std::string& APassWdForZip);
    void OnDownloadWork(void* ASender, km::TWorkMode AWorkMode, int64_t AWorkCount);
    // The run's text (CustomReturnValue), also kept as the current type's.
    void SetTypeText(const std::string& text);
    // The HTTP settings of every download of the run.
    km::THttpConfigPtr DownloadSettings() const;

    km::TWorkDir fDownloadDir;
    mutable std::mutex fReportMutex;
    std::vector<TTypeOutcome> fOutcomes;
    TRunProgress fProgress;
    std::string fTypeText;
    // Why the last downloaded package did not reach its folder.
    std::string fPlaceError;
    // The last downloaded package, opened before it moved to its folder.
    km::TUniqueFd fDownloaded;
    // The public keys (raw); empty for unsigned updates.
    std::vector<std::string> fKeys;
    TDescriptorVerdict fDescriptorVerdict = TDescriptorVerdict::Accepted;
    bool FBOnlineUpdate;
    bool FIsOnlineInstallerMode;
    std::string FLastTargetDir;
    std::string FToRun;
    std::string FRunParams;
    std::string FProjectName;
    TUpdaterSettings fSettings;
};

}  // namespace qb

#include "quorbel/PackageInstall.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/base/SysError.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"
#include "common/files/WorkDir.h"
#include "common/zip/KmZipper.h"
#include "quorbel/CopyInTransaction.h"
#include "quorbel/FolderSwap.h"

namespace qb {
namespace {

TProblem ExtractionProblem(const std::exception& e) {
    if (const auto* zip = dynamic_cast<const km::EZipError*>(&e);
        zip != nullptr && !zip->FixedText().empty()) {
        return {TProblemId::LibraryText,
                {zip->FixedText(), zip->Message().substr(zip->FixedText().size())}};
    }
    return {TProblemId::Message, {e.what()}};
}

// Deletes the archive name in folder when it still is the file open as fd
// or its copy.
void DeleteArchive(const km::TDir& folder, const std::string& name, int fd,
                   const struct stat* copy) {
    struct stat opened {};
    struct stat named {};
    if (folder.Valid() && ::fstat(fd, &opened) == 0 && folder.StatAt(name, named) == 0 &&
        (km::SameFile(opened, named) ||
         (copy != nullptr && copy->st_ino != 0 && km::SameFile(*copy, named)))) {
        km::Fs().UnlinkAt(folder.Fd(), name.c_str(), 0);
    }
}

int32_t Install(const TRunContext& context, int archiveFd, const TUpdateType& type,
                const TTypeFolders& folders, const std::string& password, bool replaceAll,
                TTypeReport& report) {
    try {
        const km::TWorkDir work = NewUnpackFolder(context, type);
        km::ExtractZipArchive(archiveFd, work.Dir(), password);
        return PlaceUnpacked(context, work, type, folders, replaceAll, report);
    } catch (const std::exception& e) {
        SetFailure(report, -2, ExtractionProblem(e));
        return -2;
    }
}

}  // namespace

km::TWorkDir NewUnpackFolder(const TRunContext& context, const TUpdateType& type) {
    // On the target's file system where the target is replaced by a rename;
    // in the private temporary folder where it is copied in (others who
    // share the configuration folder never see it there).
    return km::TWorkDir(type.Work == TWorkFolder::TempFolder ? context.Folders.PrivateTemp()
                                                             : context.Folders.Config(),
                        "~qb");
}

int32_t PlaceUnpacked(const TRunContext& context, const km::TWorkDir& work, const TUpdateType& type,
                      const TTypeFolders& folders, bool replaceAll, TTypeReport& report) {
    context.FollowUp.Folder = folders.TargetPath;
    std::string why;
    if (replaceAll) {
        if (!ReplaceFolder(work.Dir(), type.Name, context.Folders.Config(), type.Name, &why)) {
            SetFailure(report, -8, {TProblemId::PlaceFailed, {why}});
            return -8;
        }
        return 0;
    }
    if (!folders.Target.Valid()) {
        SetFailure(report, -7,
                   folders.TargetPath.empty()
                       ? TProblem{TProblemId::NoInstallFolder, {}}
                       : TProblem{TProblemId::FolderMissing,
                                  {km::RemovePathDelimiter(folders.TargetPath)}});
        return -7;
    }
    const km::TDir package = work.Dir().Sub(type.Name);
    if (!package.Valid()) {
        SetFailure(report, -8,
                   {TProblemId::PlaceFailed,
                    {"The package holds no folder " + work.Dir().PathOf(type.Name)}});
        return -8;
    }
    // The journal goes where only who may write the target can reach it:
    // into the target.
    if (!CopyInWithRollback(package, folders.Target, folders.Target, &why)) {
        SetFailure(report, -8, {TProblemId::PlaceFailed, {why}});
        return -8;
    }
    return 0;
}

int32_t UpdateFromConfigZip(const TRunContext& context, int archiveFd,
                            const std::string& placeError, const TUpdateType& type,
                            const TTypeFolders& folders, const std::string& password,
                            TTypeReport& report, const struct stat* placedCopy) {
    // The installation folder is never replaced as a whole.
    const bool replaceAll = type.ReplaceAll && type.Target != TTargetFolder::InstallFolder;
    if (archiveFd < 0) {
        SetFailure(report, -6,
                   {TProblemId::ArchiveMissing,
                    {folders.ArchivePath + folders.ArchiveName,
                     placeError.empty() ? km::SysErrorMessage(ENOENT) : placeError}});
        return -6;
    }
    const int32_t result = Install(context, archiveFd, type, folders, password, replaceAll, report);
    if (!replaceAll) {
        DeleteArchive(folders.Archive, folders.ArchiveName, archiveFd, placedCopy);
    }
    return result;
}

}  // namespace qb

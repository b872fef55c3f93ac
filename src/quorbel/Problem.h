#pragma once

// What went wrong in an update run, as the engine reports it: an id and its
// arguments, never a finished sentence. The window and qbupdate turn a
// problem into the user's language when they show it (ProblemText), on their
// own thread and after they have bound the message catalogue; the engine
// never translates.

#include <string>
#include <vector>

namespace qb {

enum class TProblemId {
    None,
    // {text}: a text of the system or of a library, shown as it is.
    Message,
    // {fixedText, detail}: one of a library's fixed texts (ZIP, HTTP), which
    // the catalogue translates, followed by its detail as it is.
    LibraryText,
    // {holder}: another update of the product held it for all of the lock
    // wait; holder names the process when it is known ("" otherwise).
    AnotherUpdate,
    // {element}: a descriptor value element that is not one text node.
    ElementNotSingleText,
    // {}: a signed build refused the descriptor for this reason.
    DescriptorNotSigned,
    DescriptorBadSignature,
    DescriptorNoPublished,
    DescriptorOlder,
    DescriptorNotYetValid,
    // {archive, cause}: the package archive is missing or cannot be used.
    ArchiveMissing,
    // {cause}: the package could not be moved or copied into place.
    PlaceFailed,
    // {}: the product's installer recorded no data folder (DatabaseDir).
    NoDataFolder,
    // {}: the product's installer recorded no installation folder (InstallDir).
    NoInstallFolder,
    // {folder}: a folder the product's installer recorded does not exist.
    FolderMissing,
    // {url, expected, received}: the package is not the one the vendor signed.
    DigestMismatch,
    // {toRun}: the install package names a follow-up program outside itself.
    FollowUpOutside,
    // {url, cause}: the package could not be downloaded.
    DownloadFailed,
    // {url, cause}: the descriptor could not be downloaded.
    DescriptorDownloadFailed,
    // {url, size}: the package grew beyond its signed size.
    PackageTooLarge,
    // {}: the run was asked to stop.
    Stopped,
};

struct TProblem {
    TProblemId Id = TProblemId::None;
    std::vector<std::string> Args;

    bool Empty() const { return Id == TProblemId::None; }
    bool operator==(const TProblem&) const = default;
};

// The problem's text in the user's language (through the message
// catalogue). Call it where the text is shown, after the catalogue is bound.
std::string ProblemText(const TProblem& problem);

// The problem's German text, the catalogue's key (what the window shows
// without a catalogue): for the worker's CustomReturnValue.
std::string ProblemTextGerman(const TProblem& problem);

// A short name of the problem for scripts ("download-failed", ...).
const char* ProblemName(TProblemId id);

}  // namespace qb

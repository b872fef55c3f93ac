#include "quorbel/Problem.h"

#include "common/base/Translate.h"

namespace qb {
namespace {

// The German text of each problem with "%s" for its arguments, in order.
const char* GermanFormat(TProblemId id) {
    switch (id) {
        case TProblemId::None:
        case TProblemId::Message:
        case TProblemId::LibraryText:
            return "";
        case TProblemId::AnotherUpdate:
            return km::TrNoop(
                "Eine andere Aktualisierung dieses Produkts läuft noch. "
                "Bitte versuchen Sie es später erneut.");
        case TProblemId::ElementNotSingleText:
            return km::TrNoop("Element \"%s\" enthält keinen einzelnen Textknoten");
        case TProblemId::DescriptorNotSigned:
            return km::TrNoop("Die Aktualisierungsbeschreibung ist nicht signiert.");
        case TProblemId::DescriptorBadSignature:
            return km::TrNoop("Die Signatur der Aktualisierungsbeschreibung ist ungültig.");
        case TProblemId::DescriptorNoPublished:
            return km::TrNoop(
                "Die Aktualisierungsbeschreibung nennt keinen Veröffentlichungszeitpunkt.");
        case TProblemId::DescriptorOlder:
            return km::TrNoop(
                "Die Aktualisierungsbeschreibung ist älter als die zuletzt angenommene.");
        case TProblemId::DescriptorNotYetValid:
            return km::TrNoop(
                "Die Aktualisierungsbeschreibung ist erst ab einem späteren Zeitpunkt gültig.");
        case TProblemId::ArchiveMissing:
            return km::TrNoop("Das Paketarchiv %s fehlt oder kann nicht verwendet werden (%s).");
        case TProblemId::PlaceFailed:
            return km::TrNoop("Das Paket konnte nicht an seinen Platz gebracht werden (%s).");
        case TProblemId::NoDataFolder:
            return km::TrNoop("Für das Produkt ist kein Datenordner (DatabaseDir) eingetragen.");
        case TProblemId::NoInstallFolder:
            return km::TrNoop(
                "Für das Produkt ist kein Installationsordner (InstallDir) eingetragen.");
        case TProblemId::FolderMissing:
            return km::TrNoop("Der Ordner %s des Produkts fehlt.");
        case TProblemId::DigestMismatch:
            return km::TrNoop(
                "Das Paket %s stimmt nicht mit seiner Prüfsumme überein (erwartet %s, "
                "erhalten %s).");
        case TProblemId::FollowUpOutside:
            return km::TrNoop(
                "Das Installationspaket nennt ein Folgeprogramm außerhalb des Pakets: ");
        case TProblemId::DownloadFailed:
            return km::TrNoop("Das Paket %s konnte nicht geladen werden: %s");
        case TProblemId::DescriptorDownloadFailed:
            return km::TrNoop("Die Aktualisierungsbeschreibung %s konnte nicht geladen werden: %s");
        case TProblemId::PackageTooLarge:
            return km::TrNoop("Das Paket %s ist größer als seine signierte Größe (%s Bytes).");
        case TProblemId::Stopped:
            return km::TrNoop("Die Aktualisierung wurde abgebrochen.");
    }
    return "";
}

std::string Arg(const TProblem& problem, size_t i) {
    return i < problem.Args.size() ? problem.Args[i] : std::string();
}

// The text with "%s" filled in; translate decides whether the catalogue is
// asked.
std::string Compose(const TProblem& problem, bool translate) {
    switch (problem.Id) {
        case TProblemId::None:
            return {};
        case TProblemId::Message:
            return Arg(problem, 0);
        case TProblemId::LibraryText:
            return (translate ? km::Tr(Arg(problem, 0)) : Arg(problem, 0)) + Arg(problem, 1);
        case TProblemId::AnotherUpdate:
            // The holder is named where it is known.
            if (!Arg(problem, 0).empty()) {
                const char* format = km::TrNoop(
                    "Eine andere Aktualisierung dieses Produkts läuft noch (%s). "
                    "Bitte versuchen Sie es später erneut.");
                const std::string text = translate ? km::Tr(format) : format;
                const size_t at = text.find("%s");
                return at == std::string::npos
                           ? text
                           : text.substr(0, at) + Arg(problem, 0) + text.substr(at + 2);
            }
            break;
        case TProblemId::FollowUpOutside:
            // The program's name follows the sentence, as it always did.
            return (translate ? km::Tr(GermanFormat(problem.Id)) : GermanFormat(problem.Id)) +
                   Arg(problem, 0);
        default:
            break;
    }
    const std::string format =
        translate ? km::Tr(GermanFormat(problem.Id)) : GermanFormat(problem.Id);
    std::string text;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format.compare(i, 2, "%s") == 0) {
            text += Arg(problem, next++);
            ++i;
        } else {
            text += format[i];
        }
    }
    return text;
}

}  // namespace

std::string ProblemText(const TProblem& problem) {
    return Compose(problem, true);
}

std::string ProblemTextGerman(const TProblem& problem) {
    return Compose(problem, false);
}

const char* ProblemName(TProblemId id) {
    switch (id) {
        case TProblemId::None:
            return "";
        case TProblemId::Message:
        case TProblemId::LibraryText:
            return "error";
        case TProblemId::AnotherUpdate:
            return "locked";
        case TProblemId::ElementNotSingleText:
            return "descriptor-element";
        case TProblemId::DescriptorNotSigned:
            return "descriptor-not-signed";
        case TProblemId::DescriptorBadSignature:
            return "descriptor-bad-signature";
        case TProblemId::DescriptorNoPublished:
            return "descriptor-no-published";
        case TProblemId::DescriptorOlder:
            return "descriptor-older";
        case TProblemId::DescriptorNotYetValid:
            return "descriptor-not-yet-valid";
        case TProblemId::ArchiveMissing:
            return "archive-missing";
        case TProblemId::PlaceFailed:
            return "place-failed";
        case TProblemId::NoDataFolder:
            return "no-data-folder";
        case TProblemId::NoInstallFolder:
            return "no-install-folder";
        case TProblemId::FolderMissing:
            return "folder-missing";
        case TProblemId::DigestMismatch:
            return "digest-mismatch";
        case TProblemId::FollowUpOutside:
            return "follow-up-outside";
        case TProblemId::DownloadFailed:
            return "download-failed";
        case TProblemId::PackageTooLarge:
            return "package-too-large";
        case TProblemId::DescriptorDownloadFailed:
            return "descriptor-download-failed";
        case TProblemId::Stopped:
            return "stopped";
    }
    return "";
}

}  // namespace qb

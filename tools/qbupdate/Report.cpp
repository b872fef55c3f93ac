#include "Report.h"

#include <cstdio>

#include "common/base/TextUtil.h"
#include "quorbel/Problem.h"

namespace qbupdate {
namespace {

std::string TypeText(const qb::TTypeReport& report) {
    return Printable(qb::ProblemText(report.Problem));
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        const size_t length = km::Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

std::string Printable(const std::string& text) {
    return km::PrintableText(text);
}

namespace {

// How a package came when not whole from the vendor's server, for the
// outcome line.
std::string FromWhere(const qb::TTypeReport& report) {
    const bool elsewhere = report.Source == qb::TPackageSource::Mirror ||
                           report.Source == qb::TPackageSource::Cache ||
                           report.Source == qb::TPackageSource::Media;
    const std::string from =
        elsewhere ? std::string("from ") + qb::PackageSourceName(report.Source) : std::string();
    if (report.Delta) {
        return " (delta" + (from.empty() ? std::string() : " " + from) + ")";
    }
    return from.empty() ? std::string() : " (" + from + ")";
}

// Whether the type's package came whole ("full"), as a delta, or not at all.
const char* PackageKind(const qb::TTypeReport& report) {
    if (report.Delta) {
        return "delta";
    }
    switch (report.Source) {
        case qb::TPackageSource::Local:  // a whole package that waited in its folder
        case qb::TPackageSource::Server:
        case qb::TPackageSource::Mirror:
        case qb::TPackageSource::Cache:
        case qb::TPackageSource::Media:
            return "full";
        default:
            return "none";
    }
}

}  // namespace

std::string OutcomeLine(const qb::TTypeReport& report) {
    const std::string type = report.Type + ": ";
    const std::string text = TypeText(report);
    switch (report.Outcome) {
        case qb::TOutcome::Installed:
            return type + "installed " + Printable(report.Date) + FromWhere(report);
        case qb::TOutcome::Current:
            return type + "current" +
                   (report.Date.empty() ? std::string() : " (" + Printable(report.Date) + ")");
        case qb::TOutcome::Stopped:
            return type + "stopped";
        case qb::TOutcome::Deferred:
            return type + "left for the window (" + Printable(report.Url) + ")";
        case qb::TOutcome::Failed:
        case qb::TOutcome::NoDescriptor:
        case qb::TOutcome::Refused:
            break;
    }
    return type + "failed (" + std::to_string(report.Code) + ")" +
           (text.empty() ? std::string() : ": " + text);
}

namespace {

const char* CodeMeaning(int32_t code) {
    switch (code) {
        case 0:
            return "installed";
        case -2:
            return "damaged package or installation error";
        case -3:
            return "download failed or stopped";
        case -4:
            return "no update descriptor";
        case -5:
            return "descriptor refused";
        case -6:
            return "package archive missing";
        case -7:
            return "folder missing";
        case -8:
            return "could not be put in place";
        case -9:
            return "follow-up program outside the package";
        case -1001:
            return "nothing new";
        case -1002:
            return "stopped after the download";
        default:
            return "?";
    }
}

}  // namespace

std::string ResultMeaning(const qb::TRunReport& report) {
    if (report.RunCode == -1) {
        return "an error ended the run";
    }
    if (report.RunCode == qb::kAnotherUpdateHoldsTheProduct) {
        return "another update held the product";
    }
    const int32_t code = qb::CombinedResultCode(report);
    if (code > 0) {
        std::string kinds;
        for (const auto& [bit, name] :
             {std::pair{1, "dev or partner"}, std::pair{2, "patch"}, std::pair{4, "install"}}) {
            if ((code & bit) != 0) {
                kinds += (kinds.empty() ? "" : ", ") + std::string(name);
            }
        }
        return "installed: " + kinds;
    }
    // Later type x 100 + earlier type: the last two types handled.
    std::string meaning;
    for (size_t i = report.Types.size(); i-- > 0 && report.Types.size() - i <= 2;) {
        const qb::TTypeReport& type = report.Types[i];
        meaning += (meaning.empty() ? "" : "; ") + type.Type + ": " + CodeMeaning(type.Code);
    }
    return meaning;
}

std::string RunTail(const qb::TRunReport& report, const std::string& followUp) {
    std::string text;
    if (!followUp.empty()) {
        text += "started: " + Printable(followUp) + "\n";
    }
    const bool ownText = report.RunCode != 0 && !report.Problem.Empty();
    text += "result: " + std::to_string(qb::CombinedResultCode(report)) + " (" +
            ResultMeaning(report) + ")" +
            (ownText ? ": " + Printable(qb::ProblemText(report.Problem)) : std::string()) + "\n";
    return text;
}

std::string RunJson(const qb::TRunReport& report, const std::string& followUp) {
    std::string json = "{\"types\":[";
    for (size_t i = 0; i < report.Types.size(); ++i) {
        const qb::TTypeReport& t = report.Types[i];
        json += std::string(i > 0 ? "," : "") + "{\"type\":" + JsonString(t.Type) +
                ",\"outcome\":" + JsonString(qb::OutcomeName(t.Outcome)) +
                ",\"code\":" + std::to_string(t.Code) +
                ",\"installed\":" + (t.Installed ? "true" : "false") +
                ",\"date\":" + JsonString(t.Date) +
                ",\"problem\":" + JsonString(qb::ProblemName(t.Problem.Id)) +
                ",\"text\":" + JsonString(qb::ProblemText(t.Problem)) +
                ",\"url\":" + JsonString(t.Url) +
                ",\"source\":" + JsonString(qb::PackageSourceName(t.Source)) +
                ",\"package\":" + JsonString(PackageKind(t)) + "}";
    }
    return json + "],\"result\":" + std::to_string(qb::CombinedResultCode(report)) +
           ",\"meaning\":" + JsonString(ResultMeaning(report)) +
           ",\"stopped\":" + (report.Stopped ? "true" : "false") +
           ",\"text\":" + JsonString(qb::ProblemText(report.Problem)) +
           ",\"followUp\":" + JsonString(followUp) + "}\n";
}

std::string CheckText(const qb::TUpdateCheck& check) {
    if (check.Stopped) {
        return "stopped\n";
    }
    if (!check.HaveDescriptor) {
        return "no update descriptor: " + Printable(qb::ProblemText(check.Problem)) + "\n";
    }
    std::string text;
    for (const qb::TTypeOffer& offer : check.Types) {
        text += offer.Type + ": recorded " +
                (offer.Recorded.empty() ? "-" : Printable(offer.Recorded)) + ", offered " +
                (offer.Offered.empty() ? "-" : Printable(offer.Offered)) +
                (offer.Waiting ? ", waits" : ", current") + "\n";
    }
    return text;
}

std::string CheckJson(const qb::TUpdateCheck& check) {
    std::string json = "{\"descriptor\":" + std::string(check.HaveDescriptor ? "true" : "false") +
                       ",\"stopped\":" + (check.Stopped ? "true" : "false") +
                       ",\"problem\":" + JsonString(qb::ProblemText(check.Problem)) +
                       ",\"types\":[";
    for (size_t i = 0; i < check.Types.size(); ++i) {
        const qb::TTypeOffer& o = check.Types[i];
        json += std::string(i > 0 ? "," : "") + "{\"type\":" + JsonString(o.Type) +
                ",\"recorded\":" + JsonString(o.Recorded) +
                ",\"offered\":" + JsonString(o.Offered) +
                ",\"waiting\":" + (o.Waiting ? "true" : "false") + "}";
    }
    return json + "]}\n";
}

std::string ExportText(const qb::TExportReport& report, const std::string& dir) {
    std::string text;
    for (const qb::TExportReport::TPackage& package : report.Packages) {
        text += package.Type + ": " + Printable(package.File) + " (" +
                std::to_string(package.Size) + " bytes, from " +
                qb::PackageSourceName(package.Source) + ")\n";
    }
    if (report.Stopped) {
        return text + "export stopped; " + Printable(dir) + " is not whole\n";
    }
    if (!report.Problem.Empty()) {
        return text + "export failed: " + Printable(qb::ProblemText(report.Problem)) + "\n";
    }
    return text + "exported to " + Printable(dir) +
           (report.Signature ? " with the descriptor's signature" : " without a signature") + "\n";
}

std::string ExportJson(const qb::TExportReport& report, const std::string& dir) {
    std::string json = "{\"dir\":" + JsonString(dir) + ",\"packages\":[";
    for (size_t i = 0; i < report.Packages.size(); ++i) {
        const qb::TExportReport::TPackage& package = report.Packages[i];
        json += std::string(i > 0 ? "," : "") + "{\"type\":" + JsonString(package.Type) +
                ",\"file\":" + JsonString(package.File) +
                ",\"size\":" + std::to_string(package.Size) +
                ",\"source\":" + JsonString(qb::PackageSourceName(package.Source)) + "}";
    }
    return json + "],\"signature\":" + (report.Signature ? "true" : "false") +
           ",\"stopped\":" + (report.Stopped ? "true" : "false") +
           ",\"problem\":" + JsonString(qb::ProblemName(report.Problem.Id)) +
           ",\"text\":" + JsonString(qb::ProblemText(report.Problem)) + "}\n";
}

}  // namespace qbupdate

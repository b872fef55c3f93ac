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

std::string OutcomeLine(const qb::TTypeReport& report) {
    const std::string type = report.Type + ": ";
    const std::string text = TypeText(report);
    switch (report.Outcome) {
        case qb::TOutcome::Installed:
            return type + "installed " + Printable(report.Date);
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

std::string RunTail(const qb::TRunReport& report, const std::string& followUp) {
    std::string text;
    if (!followUp.empty()) {
        text += "started: " + Printable(followUp) + "\n";
    }
    const bool ownText = report.RunCode != 0 && !report.Problem.Empty();
    text += "result: " + std::to_string(qb::CombinedResultCode(report)) +
            (ownText ? " " + Printable(qb::ProblemText(report.Problem)) : std::string()) + "\n";
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
                ",\"source\":" + JsonString(qb::PackageSourceName(t.Source)) + "}";
    }
    return json + "],\"result\":" + std::to_string(qb::CombinedResultCode(report)) +
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

}  // namespace qbupdate

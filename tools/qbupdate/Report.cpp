#include "Report.h"

#include <cstdio>

namespace qbupdate {

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string OutcomeLine(const qb::TTypeOutcome& outcome) {
    if (outcome.Installed) {
        return outcome.Type + ": installed " + outcome.Date;
    }
    if (outcome.Code == -1001) {
        return outcome.Type + ": current" +
               (outcome.Date.empty() ? std::string() : " (" + outcome.Date + ")");
    }
    return outcome.Type + ": failed (" + std::to_string(outcome.Code) + ")" +
           (outcome.Text.empty() ? std::string() : ": " + outcome.Text);
}

std::string RunText(const qb::TUpdateRunResult& run, const std::string& followUp) {
    std::string text;
    for (const qb::TTypeOutcome& outcome : run.Outcomes) {
        text += OutcomeLine(outcome) + "\n";
    }
    if (!followUp.empty()) {
        text += "started: " + followUp + "\n";
    }
    text += "result: " + std::to_string(run.Code) +
            (run.Outcomes.empty() && !run.Text.empty() ? " " + run.Text : std::string()) + "\n";
    return text;
}

std::string RunJson(const qb::TUpdateRunResult& run, const std::string& followUp) {
    std::string json = "{\"types\":[";
    for (size_t i = 0; i < run.Outcomes.size(); ++i) {
        const qb::TTypeOutcome& o = run.Outcomes[i];
        json += std::string(i > 0 ? "," : "") + "{\"type\":" + JsonString(o.Type) +
                ",\"code\":" + std::to_string(o.Code) +
                ",\"installed\":" + (o.Installed ? "true" : "false") +
                ",\"date\":" + JsonString(o.Date) + ",\"text\":" + JsonString(o.Text) + "}";
    }
    return json + "],\"result\":" + std::to_string(run.Code) + ",\"text\":" + JsonString(run.Text) +
           ",\"followUp\":" + JsonString(followUp) + "}\n";
}

std::string CheckText(const qb::TUpdateCheck& check) {
    if (!check.HaveDescriptor) {
        return "no update descriptor: " + check.Problem + "\n";
    }
    std::string text;
    for (const qb::TTypeOffer& offer : check.Types) {
        text += offer.Type + ": recorded " + (offer.Recorded.empty() ? "-" : offer.Recorded) +
                ", offered " + (offer.Offered.empty() ? "-" : offer.Offered) +
                (offer.Waiting ? ", waits" : ", current") + "\n";
    }
    return text;
}

std::string CheckJson(const qb::TUpdateCheck& check) {
    std::string json = "{\"descriptor\":" + std::string(check.HaveDescriptor ? "true" : "false") +
                       ",\"problem\":" + JsonString(check.Problem) + ",\"types\":[";
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

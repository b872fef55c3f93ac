#pragma once

// The update descriptor ("configinfo.xml"): a parsed document and the record
// one update type's entry yields.

#include <cstdint>
#include <memory>
#include <string>

namespace qb {

// One update type's entry: publication stamp, package URL, follow-up program
// and its parameters.
struct TConfigInfoXmlData {
    std::string Date;
    std::string Url;
    std::string ToRun;
    std::string RunParams;
    // The package's SHA-256 (lower-case hex) in a signed descriptor.
    std::string Sha256;

    void Reset() { *this = TConfigInfoXmlData(); }
};

// No real descriptor comes near this size; a larger one is refused.
inline constexpr int64_t kMaxConfigInfoXmlSize = 4 * 1024 * 1024;

// A parsed descriptor. Create and use it on one thread, with a
// TXmlParserGuard alive on that thread.
class TConfigInfoXml {
  public:
    // Parses the descriptor file (any encoding the parser knows: UTF-8,
    // UTF-16, ISO-8859-1, windows-1252, ...). Raises km::Exception when the
    // file cannot be read, is larger than kMaxConfigInfoXmlSize or is not
    // well-formed XML.
    static std::unique_ptr<TConfigInfoXml> LoadFromFile(const std::string& fileName);

    ~TConfigInfoXml();
    TConfigInfoXml(const TConfigInfoXml&) = delete;
    TConfigInfoXml& operator=(const TConfigInfoXml&) = delete;

    // The entry of one update type: the first child element of the document
    // element named exactly xmlNodeName; an empty record when there is none.
    // The "url" value is returned as written (resolution is the caller's).
    // Raises km::Exception "Element "<name>" enthält keinen einzelnen
    // Textknoten" for a value element that holds anything but one text or
    // CDATA node.
    TConfigInfoXmlData ReadEntry(const std::string& xmlNodeName) const;
    // The document element's "published" child (a signed descriptor's
    // publication time), "" without one.
    std::string ReadPublished() const;

  private:
    struct Doc;
    explicit TConfigInfoXml(std::unique_ptr<Doc> doc);
    std::unique_ptr<Doc> fDoc;
};

// Resolves a descriptor "url" value against the project folder URL
// (serverPath, ending with "/"): the marker "#QBCONFIGDIR#" stands for the
// folder, a value that neither begins with "http" nor contains ":" is
// relative to it, anything else is used unchanged.
std::string ResolveConfigUrl(const std::string& url, const std::string& serverPath);

}  // namespace qb

#pragma once

// The update descriptor ("configinfo.xml"): a parsed document and the record
// one update type's entry yields.

#include <cstdint>
#include <memory>
#include <string>

#include "common/base/KmException.h"

namespace qb {

// One update type's entry: publication stamp, package URL, follow-up program
// and its parameters.
struct TConfigInfoXmlData {
    std::string Date;
    std::string Url;
    std::string ToRun;
    std::string RunParams;
    // The package's SHA-256 (lower-case hex) and size in bytes in a signed
    // descriptor.
    std::string Sha256;
    std::string Size;

    void Reset() { *this = TConfigInfoXmlData(); }
};

// A descriptor value element that holds anything but one text or CDATA node.
// The message is the German text "Element "<name>" enthält keinen einzelnen
// Textknoten" (the catalogue's key); Element() names the element.
class EDescriptorElement : public km::Exception {
  public:
    explicit EDescriptorElement(const std::string& element);
    KM_EXCEPTION_CLASS_NAME(EDescriptorElement)
    const std::string& Element() const { return fElement; }

  private:
    std::string fElement;
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
    // The same for the descriptor's bytes.
    static std::unique_ptr<TConfigInfoXml> LoadFromBytes(const std::string& data);

    ~TConfigInfoXml();
    TConfigInfoXml(const TConfigInfoXml&) = delete;
    TConfigInfoXml& operator=(const TConfigInfoXml&) = delete;

    // The entry of one update type: the first child element of the document
    // element named exactly xmlNodeName; an empty record when there is none.
    // The "url" value is returned as written (resolution is the caller's).
    // "sha256" and "size" are read only with readDigest (a signed build): a
    // build that ignores them does not fail on them. Raises EDescriptorElement for a
    // value element that holds anything but one text or CDATA node.
    TConfigInfoXmlData ReadEntry(const std::string& xmlNodeName, bool readDigest = false) const;
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

#pragma once

// The update descriptor ("configinfo.xml"): a parsed document and the record
// one update type's entry yields.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/base/KmException.h"

namespace qb {

// A delta package of a type's entry: applies to the installed package of
// the date Base and rebuilds the entry's package from it.
struct TDeltaData {
    std::string Base;
    std::string Url;
    std::string Sha256;
    std::string Size;
};

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
    // Further sources of the same package ("mirror" elements, in order) and
    // the delta packages that lead to it ("delta" elements). Only a digest
    // lets a package from elsewhere be used.
    std::vector<std::string> Mirrors;
    std::vector<TDeltaData> Deltas;

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
    // "sha256", "size", "mirror" and "delta" are read leniently: a value
    // that is not one text node is read as "" (and such an entry, element
    // or delta left out), so that a build that does not rely on them never
    // fails on them. Raises EDescriptorElement for a
    // value element that holds anything but one text or CDATA node.
    TConfigInfoXmlData ReadEntry(const std::string& xmlNodeName) const;
    // The document element's "published" child (a signed descriptor's
    // publication time), "" without one.
    std::string ReadPublished() const;
    // The value of the document element's child name ("" without one);
    // raises as ReadEntry does.
    std::string ReadRootValue(const std::string& name) const;

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

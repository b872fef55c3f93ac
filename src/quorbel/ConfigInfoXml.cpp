#include "quorbel/ConfigInfoXml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "common/base/KmException.h"
#include "common/base/TextUtil.h"

namespace qb {

struct TConfigInfoXml::Doc {
    struct FreeDoc {
        void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
    };
    std::unique_ptr<xmlDoc, FreeDoc> doc;
};

namespace {

constexpr const char* kConfigDirMarker = "#QBCONFIGDIR#";

bool IsElementNamed(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

const xmlNode* FirstChildElement(const xmlNode* parent, const char* name) {
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
        if (IsElementNamed(child, name)) {
            return child;
        }
    }
    return nullptr;
}

bool IsXmlBlank(const xmlChar* text) {
    for (; text != nullptr && *text != 0; ++text) {
        if (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\n') {
            return false;
        }
    }
    return true;
}

// The text of the value element element (named name). Blank text between
// nodes only indents the descriptor and does not count as a node, as in the
// parser the vendor's descriptors were first written for.
std::string SingleText(const xmlNode* element, const char* name) {
    const xmlNode* valueNode = nullptr;
    int nodes = 0;
    for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
        if (child->type == XML_TEXT_NODE && IsXmlBlank(child->content)) {
            continue;
        }
        ++nodes;
        valueNode = child;
    }
    if (nodes == 0) {
        return {};
    }
    if (nodes > 1 ||
        (valueNode->type != XML_TEXT_NODE && valueNode->type != XML_CDATA_SECTION_NODE)) {
        throw EDescriptorElement(name);
    }
    return km::Trim(reinterpret_cast<const char*>(valueNode->content));
}

// The text of entry's first child element name, "" without one.
std::string ValueOf(const xmlNode* entry, const char* name) {
    const xmlNode* element = FirstChildElement(entry, name);
    return element == nullptr ? std::string() : SingleText(element, name);
}

std::vector<char> ReadCapped(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary | std::ios::ate);
    if (!in) {
        throw km::Exception("Cannot open " + fileName);
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxConfigInfoXmlSize) {
        throw km::Exception("The update descriptor is larger than " +
                            std::to_string(kMaxConfigInfoXmlSize) + " bytes");
    }
    std::vector<char> data(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(data.data(), size)) {
        throw km::Exception("Cannot read " + fileName);
    }
    return data;
}

}  // namespace

EDescriptorElement::EDescriptorElement(const std::string& element)
    : km::Exception(std::string("Element \"") + element + "\" enthält keinen einzelnen Textknoten"),
      fElement(element) {}

TConfigInfoXml::TConfigInfoXml(std::unique_ptr<Doc> doc) : fDoc(std::move(doc)) {}

TConfigInfoXml::~TConfigInfoXml() = default;

std::unique_ptr<TConfigInfoXml> TConfigInfoXml::LoadFromFile(const std::string& fileName) {
    const std::vector<char> data = ReadCapped(fileName);
    return LoadFromBytes(std::string(data.begin(), data.end()));
}

std::unique_ptr<TConfigInfoXml> TConfigInfoXml::LoadFromBytes(const std::string& data) {
    if (data.size() > static_cast<size_t>(kMaxConfigInfoXmlSize)) {
        throw km::Exception("The update descriptor is larger than " +
                            std::to_string(kMaxConfigInfoXmlSize) + " bytes");
    }
    // No entity substitution, no DTD loading, no network: entity references
    // stay nodes of their own (and so fail the value rule) instead of
    // expanding, which also keeps entity bombs harmless.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    auto doc = std::make_unique<Doc>();
    doc->doc.reset(xmlReadMemory(data.data(), static_cast<int>(data.size()), "configinfo.xml",
                                 nullptr, options));
    if (!doc->doc || xmlDocGetRootElement(doc->doc.get()) == nullptr) {
        const xmlError* error = xmlGetLastError();
        throw km::Exception("The update descriptor is not well-formed XML" +
                            (error != nullptr && error->message != nullptr
                                 ? ": " + km::Trim(error->message)
                                 : std::string()));
    }
    return std::unique_ptr<TConfigInfoXml>(new TConfigInfoXml(std::move(doc)));
}

TConfigInfoXmlData TConfigInfoXml::ReadEntry(const std::string& xmlNodeName) const {
    TConfigInfoXmlData result;
    const xmlNode* root = xmlDocGetRootElement(fDoc->doc.get());
    const xmlNode* entry = root != nullptr ? FirstChildElement(root, xmlNodeName.c_str()) : nullptr;
    if (entry == nullptr) {
        return result;
    }
    result.Date = ValueOf(entry, "date");
    result.Url = ValueOf(entry, "url");
    result.ToRun = ValueOf(entry, "torun");
    result.RunParams = ValueOf(entry, "runparams");
    // Newer elements, which older programs never read: read so that nothing
    // in them can fail the run.
    const auto lenient = [](const auto& read) {
        try {
            return read();
        } catch (const EDescriptorElement&) {
            return std::string();
        }
    };
    result.Sha256 = lenient([&] { return ValueOf(entry, "sha256"); });
    result.Size = lenient([&] { return ValueOf(entry, "size"); });
    for (const xmlNode* child = entry->children; child != nullptr; child = child->next) {
        if (IsElementNamed(child, "mirror")) {
            const std::string url = lenient([&] { return SingleText(child, "mirror"); });
            if (!url.empty()) {
                result.Mirrors.push_back(url);
            }
        } else if (IsElementNamed(child, "delta")) {
            TDeltaData delta{lenient([&] { return ValueOf(child, "base"); }),
                             lenient([&] { return ValueOf(child, "url"); }),
                             lenient([&] { return ValueOf(child, "sha256"); }),
                             lenient([&] { return ValueOf(child, "size"); })};
            if (!delta.Base.empty() && !delta.Url.empty() && !delta.Sha256.empty()) {
                result.Deltas.push_back(delta);
            }
        }
    }
    return result;
}

std::string TConfigInfoXml::ReadPublished() const {
    return ReadRootValue("published");
}

std::string TConfigInfoXml::ReadRootValue(const std::string& name) const {
    const xmlNode* root = xmlDocGetRootElement(fDoc->doc.get());
    return root != nullptr ? ValueOf(root, name.c_str()) : std::string();
}

std::string ResolveConfigUrl(const std::string& url, const std::string& serverPath) {
    if (url.find(kConfigDirMarker) != std::string::npos) {
        // The first marker in any letter case is replaced, even when it is
        // not the one in capitals that made us look.
        const size_t markerLength = std::strlen(kConfigDirMarker);
        size_t at = 0;
        while (
            !km::SameTextAscii(std::string_view(url).substr(at, markerLength), kConfigDirMarker)) {
            ++at;
        }
        std::string resolved = url;
        resolved.replace(at, markerLength, serverPath);
        return resolved;
    }
    const bool startsWithHttp = url.size() >= 4 && km::SameTextAscii(url.substr(0, 4), "http");
    if (!startsWithHttp && url.find(':') == std::string::npos) {
        return serverPath + url;
    }
    return url;
}

}  // namespace qb

#include "DescriptorModel.h"

#include <libxml/xmlwriter.h>

#include <memory>

#include "PublishError.h"
#include "quorbel/ConfigInfoXml.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/XmlParserGuard.h"

namespace qbpublish {
namespace {

struct TWriterFree {
    void operator()(xmlTextWriter* writer) const { xmlFreeTextWriter(writer); }
};
struct TBufferFree {
    void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};

class TXmlOut {
  public:
    TXmlOut() : fBuffer(xmlBufferCreate()), fWriter(xmlNewTextWriterMemory(fBuffer.get(), 0)) {
        fOk = fWriter && xmlTextWriterSetIndent(fWriter.get(), 1) >= 0 &&
              xmlTextWriterStartDocument(fWriter.get(), "1.0", "UTF-8", nullptr) >= 0;
    }
    void Start(const char* name) {
        fOk = fOk && xmlTextWriterStartElement(fWriter.get(), X(name)) >= 0;
    }
    void End() { fOk = fOk && xmlTextWriterEndElement(fWriter.get()) >= 0; }
    void Element(const char* name, const std::string& value) {
        fOk = fOk && xmlTextWriterWriteElement(fWriter.get(), X(name), X(value.c_str())) >= 0;
    }
    std::string Finish() {
        fOk = fOk && xmlTextWriterEndDocument(fWriter.get()) >= 0;
        fWriter.reset();
        if (!fOk) {
            throw EPublishError("Cannot write the descriptor");
        }
        return {reinterpret_cast<const char*>(xmlBufferContent(fBuffer.get())),
                static_cast<size_t>(xmlBufferLength(fBuffer.get()))};
    }

  private:
    static const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

    std::unique_ptr<xmlBuffer, TBufferFree> fBuffer;
    std::unique_ptr<xmlTextWriter, TWriterFree> fWriter;
    bool fOk = false;
};

}  // namespace

const TPackageEntry* TDescriptorModel::Find(const std::string& type) const {
    for (const TPackageEntry& entry : Entries) {
        if (entry.Type == type) {
            return &entry;
        }
    }
    return nullptr;
}

std::string DescriptorXml(const TDescriptorModel& model) {
    TXmlOut out;
    out.Start("configinfo");
    if (!model.Published.empty()) {
        out.Element("published", model.Published);
    }
    if (!model.Supersedes.empty()) {
        out.Element("supersedes", model.Supersedes);
    }
    for (const TPackageEntry& entry : model.Entries) {
        // The elements older programs read come first, as they always did.
        out.Start(entry.Type.c_str());
        out.Element("date", entry.Date);
        out.Element("url", entry.Url);
        out.Element("torun", entry.ToRun);
        out.Element("runparams", entry.RunParams);
        out.Element("sha256", entry.Sha256);
        out.Element("size", entry.Size);
        for (const std::string& mirror : entry.Mirrors) {
            out.Element("mirror", mirror);
        }
        for (const TDeltaEntry& delta : entry.Deltas) {
            out.Start("delta");
            out.Element("base", delta.Base);
            out.Element("url", delta.Url);
            out.Element("sha256", delta.Sha256);
            out.Element("size", delta.Size);
            out.End();
        }
        out.End();
    }
    out.End();
    return out.Finish();
}

TDescriptorModel ReadDescriptorModel(const std::string& bytes) {
    const qb::TXmlParserGuard parserGuard;
    try {
        const std::unique_ptr<qb::TConfigInfoXml> xml = qb::TConfigInfoXml::LoadFromBytes(bytes);
        TDescriptorModel model;
        model.Published = xml->ReadPublished();
        model.Supersedes = xml->ReadRootValue("supersedes");
        for (const qb::TUpdateType& type : qb::kUpdateTypes) {
            const qb::TConfigInfoXmlData data = xml->ReadEntry(type.Name);
            if (data.Date.empty() && data.Url.empty()) {
                continue;
            }
            model.Entries.push_back({data, type.Name});
        }
        return model;
    } catch (const km::Exception& e) {
        throw EPublishError(std::string("Not a descriptor: ") + e.what());
    }
}

}  // namespace qbpublish

#pragma once

// The descriptor as the publisher writes and reads it: the publication time,
// and per type its date, URL, follow-up program, digest, size, further
// sources and delta packages.

#include <string>
#include <vector>

#include "quorbel/ConfigInfoXml.h"

namespace qbpublish {

// What the program reads of a type's entry, with the type it belongs to.
using TDeltaEntry = qb::TDeltaData;
struct TPackageEntry : qb::TConfigInfoXmlData {
    std::string Type;
};

struct TDescriptorModel {
    std::string Published;   // "" for an unsigned descriptor
    std::string Supersedes;  // a wrongly published time this one supersedes
    std::vector<TPackageEntry> Entries;

    // The entry of type, or nullptr.
    const TPackageEntry* Find(const std::string& type) const;
};

// The descriptor's bytes (UTF-8 XML), as the server will send them.
std::string DescriptorXml(const TDescriptorModel& model);

// The model of a descriptor's bytes (raises EPublishError when it is not a
// descriptor).
TDescriptorModel ReadDescriptorModel(const std::string& bytes);

}  // namespace qbpublish

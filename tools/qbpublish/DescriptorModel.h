#pragma once

// The descriptor as the publisher writes and reads it: the publication time,
// and per type its date, URL, follow-up program, digest, size, further
// sources and delta packages.

#include <string>
#include <vector>

namespace qbpublish {

struct TDeltaEntry {
    std::string Base;  // the date of the installed package it applies to
    std::string Url;
    std::string Sha256;
    std::string Size;
};

struct TPackageEntry {
    std::string Type;
    std::string Date;
    std::string Url;
    std::string ToRun;
    std::string RunParams;
    std::string Sha256;
    std::string Size;
    std::vector<std::string> Mirrors;
    std::vector<TDeltaEntry> Deltas;
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

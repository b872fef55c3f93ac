#pragma once

// Package downloads that a stop or a broken line ended before they were
// complete. The received part stays in this user's private temporary folder
// (in "partial", which only this user may enter), with the validator (ETag,
// else Last-Modified) of its first answer, and the next run continues it
// with a range request and If-Range: a server whose file changed sends it
// whole. A part without a validator is never continued; parts older than a
// week, and whatever a run could not finish deleting, are removed at the
// start of a run, unless a download of another run of this user holds the
// folder (a shared flock while it downloads).

#include <chrono>
#include <string>

#include "common/files/Dir.h"
#include "common/web/KmWeb.h"

namespace qb {

class TPartialDownload {
  public:
    // The partial download named by key in privateTemp's "partial" folder
    // (made when missing). Not usable when that folder cannot be held.
    TPartialDownload(const km::TDir& privateTemp, const std::string& key);
    // Removes the "partial" folder when it holds nothing any more.
    ~TPartialDownload();
    TPartialDownload(const TPartialDownload&) = delete;
    TPartialDownload& operator=(const TPartialDownload&) = delete;

    bool Usable() const { return fFolder.Valid(); }
    // Where the package is fetched to, under Name() (its part file:
    // Name() + ".part").
    const km::TDir& Folder() const { return fFolder; }
    const std::string& Name() const { return fKey; }
    // What an earlier run left (in) and what the fetch leaves (out).
    km::TDownloadState& State() { return fState; }

    // After the fetch: a completed download needs no record; an incomplete
    // one with a validator is kept for the next run, any other is removed.
    // The "partial" folder goes with its last entry.
    void Finish(bool completed);

    // Removes the "partial" folder when it holds nothing.
    void RemoveIfEmpty();

  private:
    km::TDir fParent;
    km::TDir fFolder;
    std::string fKey;
    km::TDownloadState fState;
};

// The key of a package's partial download: the project, the type, the URL and
// what identifies the package (its digest, else its date).
std::string PartialDownloadKey(const std::string& project, const std::string& type,
                               const std::string& url, const std::string& identity);

// Removes partial downloads in privateTemp older than maxAge.
void RemoveStalePartialDownloads(const km::TDir& privateTemp, std::chrono::hours maxAge);

}  // namespace qb

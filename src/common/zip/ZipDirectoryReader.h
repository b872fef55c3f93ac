#pragma once

// Reads the fixed fields of a ZIP archive's central-directory headers that
// the ZIP library does not hand out (version needed to extract, the raw
// compression method). Reads in bounded chunks with pread(2), so memory does
// not grow with the archive and the descriptor's file offset is left alone.
// One thread per reader.

#include <cstdint>
#include <vector>

namespace km {

struct TZipCentralHeader {
    uint16_t VersionMadeBy = 0;
    uint16_t VersionNeeded = 0;
    uint16_t Flags = 0;
    uint16_t Method = 0;
};

class TZipDirectoryReader {
  public:
    // Finds the central directory of the archive open as fd (ZIP64 included;
    // data before the archive tolerated). The descriptor must stay open while
    // the reader is used. False when no central directory is found.
    bool Open(int fd);

    // The number of entries the end record announces.
    uint64_t EntryCount() const { return fEntryCount; }

    // The fields of the next header in directory order; false after the last
    // one or when the header is damaged.
    bool Next(TZipCentralHeader& header);

  private:
    // Reads len bytes at offset through the buffer; false when the file ends.
    bool ReadAt(uint64_t offset, std::size_t len, unsigned char* out);
    bool FindEndRecord(uint64_t fileSize);

    int fFd = -1;
    uint64_t fEntryCount = 0;
    uint64_t fEntriesRead = 0;
    uint64_t fPos = 0;  // next header
    uint64_t fEnd = 0;  // end of the central directory
    std::vector<unsigned char> fBuffer;
    uint64_t fBufferOffset = 0;
    std::size_t fBufferLength = 0;
};

}  // namespace km

#pragma once

// An output stream over an open file whose writes go through the
// file-system seam (Fs().Write), for code that writes to a std::ostream
// (the HTTP client) into a file reached by handle.

#include <ostream>
#include <streambuf>
#include <vector>

namespace km {

class TFdStreamBuf : public std::streambuf {
  public:
    // fd stays the caller's; writes start at its current position.
    explicit TFdStreamBuf(int fd);
    ~TFdStreamBuf() override;
    TFdStreamBuf(const TFdStreamBuf&) = delete;
    TFdStreamBuf& operator=(const TFdStreamBuf&) = delete;

    // The errno of the first failed write or seek, 0 when none failed.
    int Error() const { return fError; }

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize size) override;
    int sync() override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

  private:
    bool Flush();

    int fFd;
    int fError = 0;
    std::vector<char> fBuffer;
};

class TFdOutStream : public std::ostream {
  public:
    explicit TFdOutStream(int fd) : std::ostream(nullptr), fBuf(fd) { rdbuf(&fBuf); }
    int Error() const { return fBuf.Error(); }

  private:
    TFdStreamBuf fBuf;
};

}  // namespace km

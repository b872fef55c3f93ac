#include "common/delta/ZstdPatch.h"

#include <zstd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "common/base/KmException.h"
#include "common/base/SysError.h"
#include "common/files/FileSystem.h"

namespace km {
namespace {

struct TCCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct TDCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// The smallest window that holds the base and the new version together.
int WindowLogFor(size_t bytes) {
    int log = 10;
    while (log < kZstdPatchWindowLog && (size_t{1} << log) < bytes) {
        ++log;
    }
    return log;
}

void Check(size_t rc, const char* what) {
    if (ZSTD_isError(rc)) {
        throw Exception(std::string(what) + ": " + ZSTD_getErrorName(rc));
    }
}

}  // namespace

std::string MakeZstdPatch(std::string_view base, std::string_view target, int level) {
    if (static_cast<int64_t>(base.size()) > kMaxZstdPatchFile ||
        static_cast<int64_t>(target.size()) > kMaxZstdPatchFile) {
        throw Exception("A file larger than the patch window cannot be patched");
    }
    const std::unique_ptr<ZSTD_CCtx, TCCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) {
        throw Exception("zstd: out of memory");
    }
    ZSTD_CCtx* c = cctx.get();
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level), "zstd level");
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), "zstd long matching");
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, WindowLogFor(base.size() + target.size())),
          "zstd window");
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), "zstd checksum");
    Check(ZSTD_CCtx_refPrefix(c, base.data(), base.size()), "zstd prefix");
    std::string patch(ZSTD_compressBound(target.size()), '\0');
    const size_t size = ZSTD_compress2(c, patch.data(), patch.size(), target.data(), target.size());
    Check(size, "zstd");
    patch.resize(size);
    return patch;
}

std::string ApplyZstdPatch(std::string_view base, int patchFd, int outFd, int64_t maxBytes,
                           const std::function<void(const char*, size_t)>& onData) {
    const std::unique_ptr<ZSTD_DCtx, TDCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) {
        return "zstd: out of memory";
    }
    ZSTD_DCtx* d = dctx.get();
    size_t rc = ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, kZstdPatchWindowLog);
    if (!ZSTD_isError(rc)) {
        rc = ZSTD_DCtx_refPrefix(d, base.data(), base.size());
    }
    if (ZSTD_isError(rc)) {
        return std::string("zstd: ") + ZSTD_getErrorName(rc);
    }
    std::vector<char> in(ZSTD_DStreamInSize());
    std::vector<char> out(ZSTD_DStreamOutSize());
    int64_t written = 0;
    size_t last = 1;  // 0 once a frame is complete
    // One step of the decoder: what it yields is written and handed on.
    const auto step = [&](ZSTD_inBuffer& input, size_t& yielded) -> std::string {
        ZSTD_outBuffer output{out.data(), out.size(), 0};
        last = ZSTD_decompressStream(d, &output, &input);
        if (ZSTD_isError(last)) {
            return std::string("damaged patch: ") + ZSTD_getErrorName(last);
        }
        yielded = output.pos;
        written += static_cast<int64_t>(output.pos);
        if (written > maxBytes) {
            return "the patch yields more than the file's size";
        }
        if (const int err = WriteAll(outFd, out.data(), output.pos); err != 0) {
            return SysErrorMessage(err);
        }
        onData(out.data(), output.pos);
        return {};
    };
    bool any = false;
    size_t yielded = 0;
    for (;;) {
        const ssize_t n = Fs().Read(patchFd, in.data(), in.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return SysErrorMessage(errno);
        }
        if (n == 0) {
            break;
        }
        any = true;
        ZSTD_inBuffer input{in.data(), static_cast<size_t>(n), 0};
        while (input.pos < input.size) {
            if (last == 0) {
                return "the patch holds more than one frame";
            }
            if (std::string error = step(input, yielded); !error.empty()) {
                return error;
            }
        }
    }
    // Flush what the decoder still holds.
    while (any && last != 0) {
        ZSTD_inBuffer input{nullptr, 0, 0};
        if (std::string error = step(input, yielded); !error.empty()) {
            return error;
        }
        if (yielded == 0) {
            break;
        }
    }
    if (!any || last != 0) {
        return "the patch ends early";
    }
    return {};
}

}  // namespace km

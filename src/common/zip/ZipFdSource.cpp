#include "common/zip/ZipFdSource.h"

#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "common/files/FileSystem.h"

namespace km {
namespace {

struct TFdSource {
    int fd = -1;
    zip_uint64_t size = 0;
    zip_uint64_t offset = 0;
    zip_error_t error{};
};

zip_int64_t Fail(TFdSource& source, int zipError, int systemError) {
    zip_error_set(&source.error, zipError, systemError);
    return -1;
}

zip_int64_t Callback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto& source = *static_cast<TFdSource*>(userdata);
    switch (cmd) {
        case ZIP_SOURCE_OPEN:
            source.offset = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            const zip_uint64_t left = source.size > source.offset ? source.size - source.offset : 0;
            const auto want = static_cast<size_t>(len < left ? len : left);
            for (;;) {
                const ssize_t n =
                    Fs().Pread(source.fd, data, want, static_cast<off_t>(source.offset));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n < 0) {
                    return Fail(source, ZIP_ER_READ, errno);
                }
                source.offset += static_cast<zip_uint64_t>(n);
                return n;
            }
        }
        case ZIP_SOURCE_CLOSE:
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* stat = static_cast<zip_stat_t*>(data);
            zip_stat_init(stat);
            stat->size = source.size;
            stat->valid |= ZIP_STAT_SIZE;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&source.error, data, len);
        case ZIP_SOURCE_FREE:
            zip_error_fini(&source.error);
            delete &source;
            return 0;
        case ZIP_SOURCE_SEEK: {
            const zip_int64_t to = zip_source_seek_compute_offset(source.offset, source.size, data,
                                                                  len, &source.error);
            if (to < 0) {
                return -1;
            }
            source.offset = static_cast<zip_uint64_t>(to);
            return 0;
        }
        case ZIP_SOURCE_TELL:
            return static_cast<zip_int64_t>(source.offset);
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                ZIP_SOURCE_SUPPORTS, -1);
        default:
            return Fail(source, ZIP_ER_OPNOTSUPP, 0);
    }
}

}  // namespace

zip_source_t* CreateZipFdSource(int fd, zip_error_t* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        zip_error_set(error, ZIP_ER_READ, errno);
        return nullptr;
    }
    auto source = std::make_unique<TFdSource>();
    source->fd = fd;
    source->size = static_cast<zip_uint64_t>(st.st_size);
    zip_error_init(&source->error);
    zip_source_t* zipSource = zip_source_function_create(&Callback, source.get(), error);
    if (zipSource == nullptr) {
        zip_error_fini(&source->error);
        return nullptr;
    }
    source.release();  // freed by ZIP_SOURCE_FREE
    return zipSource;
}

}  // namespace km

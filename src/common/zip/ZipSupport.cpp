#include "common/zip/ZipSupport.h"

namespace km {

std::string ZipErrorMessage(zip_error_t* error) {
    switch (zip_error_code_zip(error)) {
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_WRONGPASSWD:
            return "Cannot extract file - invalid password";
        case ZIP_ER_CRC:
            return "Failed CRC Check";
        case ZIP_ER_COMPNOTSUPP:
            return "Cannot extract file - unsupported compression method";
        case ZIP_ER_NOZIP:
            return "Unhandled Archive Type";
        default:
            return zip_error_strerror(error);
    }
}

std::string ZipErrorMessage(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string message = ZipErrorMessage(&error);
    zip_error_fini(&error);
    return message;
}

}  // namespace km

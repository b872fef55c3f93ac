#include "common/base/LocaleText.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <memory>
#include <type_traits>

#include "common/base/KmException.h"

namespace km {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

struct TLocaleDeleter {
    void operator()(locale_t locale) const noexcept { freelocale(locale); }
};
using TLocalePtr = std::unique_ptr<std::remove_pointer_t<locale_t>, TLocaleDeleter>;

struct TIconvDeleter {
    void operator()(iconv_t cd) const noexcept { iconv_close(cd); }
};
using TIconvPtr = std::unique_ptr<std::remove_pointer_t<iconv_t>, TIconvDeleter>;

// The character set the environment's locale uses.
std::string EnvironmentCharset() {
    TLocalePtr locale(newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr)));
    if (!locale) {
        locale.reset(newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr)));
    }
    if (!locale) {
        return "ASCII";
    }
    return nl_langinfo_l(CODESET, locale.get());
}

}  // namespace

std::string LocaleBytesToUtf8(std::string_view bytes) {
    const std::string charset = EnvironmentCharset();
    iconv_t opened = iconv_open("UTF-8", charset.c_str());
    if (opened == reinterpret_cast<iconv_t>(-1)) {
        throw EInternalError("No conversion from " + charset + " to UTF-8");
    }
    TIconvPtr cd(opened);
    std::string result;
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t done = iconv(cd.get(), &in, &inLeft, &out, &outLeft);
        const int error = errno;
        result.append(buffer, out);
        if (done != static_cast<size_t>(-1)) {
            continue;
        }
        if (error == EILSEQ || error == EINVAL) {
            // An invalid or truncated sequence: replace its first byte and go on.
            result.append(kReplacementCharacter);
            ++in;
            --inLeft;
        } else if (error != E2BIG) {
            throw EInternalError("Conversion from " + charset + " to UTF-8 failed");
        }
    }
    return result;
}

std::string Utf8ToCodePage(std::string_view utf8, const std::string& codePage) {
    iconv_t opened = iconv_open(codePage.c_str(), "UTF-8");
    if (opened == reinterpret_cast<iconv_t>(-1)) {
        throw Exception("No conversion from UTF-8 to the code page " + codePage);
    }
    TIconvPtr cd(opened);
    std::string result;
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t done = iconv(cd.get(), &in, &inLeft, &out, &outLeft);
        const int error = errno;
        result.append(buffer, out);
        if (done == static_cast<size_t>(-1) && error != E2BIG) {
            throw Exception("The text cannot be written in the code page " + codePage);
        }
    }
    return result;
}

}  // namespace km

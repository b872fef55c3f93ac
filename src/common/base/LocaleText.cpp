#include "common/base/LocaleText.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <functional>
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

// text from one character set to another. onFailure gets iconv's error and
// the text so far; it throws, or appends a stand-in and returns how many
// input bytes to skip.
std::string Convert(std::string_view text, const std::string& to, const std::string& from,
                    const std::function<size_t(int error, std::string& result)>& onFailure) {
    iconv_t opened = iconv_open(to.c_str(), from.c_str());
    if (opened == reinterpret_cast<iconv_t>(-1)) {
        throw EInternalError("No conversion from " + from + " to " + to);
    }
    TIconvPtr cd(opened);
    std::string result;
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t done = iconv(cd.get(), &in, &inLeft, &out, &outLeft);
        const int error = errno;
        result.append(buffer, out);
        if (done == static_cast<size_t>(-1) && error != E2BIG) {
            const size_t skip = std::min(onFailure(error, result), inLeft);
            in += skip;
            inLeft -= skip;
        }
    }
    return result;
}

}  // namespace

std::string LocaleBytesToUtf8(std::string_view bytes) {
    const std::string charset = EnvironmentCharset();
    return Convert(bytes, "UTF-8", charset, [&charset](int error, std::string& result) {
        if (error != EILSEQ && error != EINVAL) {
            throw EInternalError("Conversion from " + charset + " to UTF-8 failed");
        }
        // An invalid or truncated sequence: replace its first byte and go on.
        result.append(kReplacementCharacter);
        return size_t{1};
    });
}

std::string Utf8ToCodePage(std::string_view utf8, const std::string& codePage) {
    return Convert(utf8, codePage, "UTF-8", [&codePage](int, std::string&) -> size_t {
        throw Exception("The text cannot be written in the code page " + codePage);
    });
}

}  // namespace km

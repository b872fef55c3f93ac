#include "quorbel/XmlParserGuard.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <mutex>

namespace qb {
namespace {

// Every external entity or DTD the descriptor names is refused: a descriptor
// from the server must never make us read a local file or open a connection.
xmlParserInputPtr RefuseExternalEntity(const char* /*url*/, const char* /*id*/,
                                       xmlParserCtxtPtr /*context*/) {
    return nullptr;
}

void IgnoreGenericError(void* /*context*/, const char* /*format*/, ...) {}
void IgnoreStructuredError(void* /*context*/, xmlErrorPtr /*error*/) {}

}  // namespace

TXmlParserGuard::TXmlParserGuard() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
    });
    // The error handlers are per thread in libxml2.
    xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
    xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
}

TXmlParserGuard::~TXmlParserGuard() {
    xmlSetGenericErrorFunc(nullptr, nullptr);
    xmlSetStructuredErrorFunc(nullptr, nullptr);
}

}  // namespace qb

#pragma once

// Prepares the XML parser for the calling thread and keeps it safe: no
// network, no external entities, no DTD loading, and no parser chatter on
// standard error. One guard lives for the whole update run on the worker
// thread, in the place where the parser's host platform needs per-thread
// initialisation.

namespace qb {

class TXmlParserGuard {
  public:
    TXmlParserGuard();
    ~TXmlParserGuard();
    TXmlParserGuard(const TXmlParserGuard&) = delete;
    TXmlParserGuard& operator=(const TXmlParserGuard&) = delete;
};

}  // namespace qb

#include "common/base/ErrorText.h"

#include <gtest/gtest.h>

namespace {

struct ComposeCase {
    const char* name;
    const char* msg;
    const char* context;
    const char* details;
    bool force;
    const char* expected;
};

const ComposeCase kComposeCases[] = {
    {"context and forced two-line details", "", "Update-Fehler", "Zeile eins.\r\nZeile zwei", true,
     "Update-Fehler\r\n\r\nFehlermeldung:\r\n[Zeile eins; Zeile zwei]"},
    {"details alone stay unchanged", "", "", "  roh.\r\n", false, "  roh.\r\n"},
    {"message drops details unless forced", "Nachricht", "Kontext", "Details", false,
     "Kontext\r\n\r\nNachricht"},
    {"forced details follow the message", "Nachricht", "Kontext", "Details", true,
     "Kontext\r\n\r\nNachricht\r\n\r\nFehlermeldung:\r\n[Details]"},
    {"details contained in the context are not repeated", "", "Fehler: DISK FULL", "disk full",
     true, "Fehler: DISK FULL"},
    {"details contained in the message are not repeated", "Platte voll: Ärger", "", "ärger", true,
     "Platte voll: Ärger"},
    {"empty message shows details with context", "", "Kontext", "Details", false,
     "Kontext\r\n\r\nFehlermeldung:\r\n[Details]"},
    {"nothing at all", "", "", "", true, ""},
    {"trimmed, full stops before line breaks replaced first", "", "K", "\t a.\r\nb\r\nc. \r\n",
     true, "K\r\n\r\nFehlermeldung:\r\n[a; b; c.]"},
};

TEST(ComposeErrorText, Table) {
    for (const auto& c : kComposeCases) {
        EXPECT_EQ(km::ComposeErrorText(c.msg, c.context, c.details, c.force), c.expected) << c.name;
    }
}

}  // namespace

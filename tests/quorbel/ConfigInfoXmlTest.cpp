#include "quorbel/ConfigInfoXml.h"

#include <gtest/gtest.h>

#include "common/base/KmException.h"
#include "quorbel/Product.h"
#include "quorbel/XmlParserGuard.h"
#include "support/Sandbox.h"

namespace {

const std::string kServerPath =
    std::string("http://127.0.0.1:8080/qbdata/") + qb::kInstallerProject + "/";

TEST(ResolveConfigUrl, Table) {
    struct Case {
        const char* url;
        std::string expected;
    } cases[] = {
        {"#QBCONFIGDIR#patch/patch.zip", kServerPath + "patch/patch.zip"},
        {"dev.zip", kServerPath + "dev.zip"},
        {"http://other/x.zip", "http://other/x.zip"},
        {"HTTPS://other/x.zip", "HTTPS://other/x.zip"},
        {"ftp://other/x.zip", "ftp://other/x.zip"},
        {"c:/x.zip", "c:/x.zip"},
        // The marker is looked for with case, so in small letters it is part
        // of a relative path.
        {"#qbconfigdir#dev.zip", kServerPath + "#qbconfigdir#dev.zip"},
        // Found with case, replaced at its first occurrence in any case; later
        // ones stay.
        {"#qbconfigdir#a/#QBCONFIGDIR#b", kServerPath + "a/#QBCONFIGDIR#b"},
        {"#QBCONFIGDIR##QBCONFIGDIR#", kServerPath + "#QBCONFIGDIR#"},
        {"", kServerPath},
        {"httpfoo.zip", "httpfoo.zip"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qb::ResolveConfigUrl(c.url, kServerPath), c.expected) << c.url;
    }
}

class ConfigInfoXmlTest : public ::testing::Test {
  protected:
    std::unique_ptr<qb::TConfigInfoXml> Load(const std::string& bytes) {
        kmtest::WriteTextFile(dir.Path() / "configinfo.xml", bytes);
        return qb::TConfigInfoXml::LoadFromFile((dir.Path() / "configinfo.xml").string());
    }
    qb::TXmlParserGuard guard;
    kmtest::TempDir dir;
};

TEST_F(ConfigInfoXmlTest, ReadsEntriesTrimmedFirstElementWins) {
    auto xml = Load(R"(<?xml version="1.0" encoding="UTF-8"?>
<config>
  <other><date>x</date></other>
  <patch>
    <date>  20240611 </date>
    <url>#QBCONFIGDIR#patch/patch.zip</url>
    <torun></torun>
    <runparams><![CDATA[ /s "a b" ]]></runparams>
  </patch>
  <patch><date>second</date></patch>
  <dev><date/></dev>
</config>)");
    const qb::TConfigInfoXmlData patch = xml->ReadEntry("patch");
    EXPECT_EQ(patch.Date, "20240611");
    EXPECT_EQ(patch.Url, "#QBCONFIGDIR#patch/patch.zip");
    EXPECT_EQ(patch.ToRun, "");
    EXPECT_EQ(patch.RunParams, "/s \"a b\"");
    EXPECT_EQ(xml->ReadEntry("dev").Date, "");
    EXPECT_EQ(xml->ReadEntry("dev").Url, "");
    const qb::TConfigInfoXmlData none = xml->ReadEntry("install");
    EXPECT_TRUE(none.Date.empty() && none.Url.empty() && none.ToRun.empty() &&
                none.RunParams.empty());
    EXPECT_EQ(xml->ReadEntry("Patch").Date, "");  // names match with case
}

TEST_F(ConfigInfoXmlTest, ValueElementsHoldOneTextNode) {
    const char* bad[] = {
        "<c><dev><date>a<!-- x -->b</date></dev></c>",
        "<c><dev><date>a<b/></date></dev></c>",
        "<c><dev><date><![CDATA[a]]>b</date></dev></c>",
        "<!DOCTYPE c [<!ENTITY e \"x\">]><c><dev><date>&e;</date></dev></c>",
    };
    for (const char* text : bad) {
        auto xml = Load(text);
        try {
            xml->ReadEntry("dev");
            ADD_FAILURE() << text;
        } catch (const km::Exception& e) {
            EXPECT_STREQ(e.what(), "Element \"date\" enthält keinen einzelnen Textknoten") << text;
        }
    }
    EXPECT_EQ(Load("<c><dev><date>\n  <![CDATA[a]]>\n</date></dev></c>")->ReadEntry("dev").Date,
              "a");
    EXPECT_EQ(Load("<c><dev><date>a&amp;b&#228;</date></dev></c>")->ReadEntry("dev").Date, "a&bä");
}

TEST_F(ConfigInfoXmlTest, Encodings) {
    // windows-1252 and ISO-8859-1 descriptors with umlauts, UTF-16 with a BOM.
    EXPECT_EQ(Load("<?xml version=\"1.0\" encoding=\"windows-1252\"?><c><dev><torun>M\xfc"
                   "ller \x80.exe</torun></dev></c>")
                  ->ReadEntry("dev")
                  .ToRun,
              "Müller €.exe");
    EXPECT_EQ(
        Load("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><c><dev><torun>\xe4</torun></dev></c>")
            ->ReadEntry("dev")
            .ToRun,
        "ä");
    std::string utf16 = "\xff\xfe";
    for (char16_t ch : std::u16string(u"<c><dev><date>d\u00f6</date></dev></c>")) {
        utf16 += static_cast<char>(ch & 0xff);
        utf16 += static_cast<char>(ch >> 8);
    }
    EXPECT_EQ(Load(utf16)->ReadEntry("dev").Date, "dö");
}

TEST_F(ConfigInfoXmlTest, RefusesBadAndHostileDescriptors) {
    kmtest::WriteTextFile(dir.Path() / "secret.txt", "SECRET");
    const std::string external = "<!DOCTYPE c [<!ENTITY e SYSTEM \"file://" +
                                 (dir.Path() / "secret.txt").string() +
                                 "\">]><c><dev><date>&e;</date></dev></c>";
    // An external entity is never read: it stays an entity reference.
    try {
        auto xml = Load(external);
        EXPECT_THROW(xml->ReadEntry("dev"), km::Exception);
    } catch (const km::Exception&) {
        // refusing the whole descriptor is fine too
    }
    const std::string laughs =
        "<!DOCTYPE c [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d "
        "\"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
        "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\"><!ENTITY f "
        "\"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">"
        "<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\"><!ENTITY h "
        "\"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\">]>"
        "<c><dev><date>&h;</date></dev></c>";
    try {
        auto xml = Load(laughs);
        EXPECT_THROW(xml->ReadEntry("dev"), km::Exception);
    } catch (const km::Exception&) {
    }
    for (const char* text : {"", "<c><dev>", "not xml at all", "<html><body>404</body>"}) {
        EXPECT_THROW(Load(text), km::Exception) << text;
    }
    EXPECT_THROW(Load(std::string(qb::kMaxConfigInfoXmlSize + 1, ' ')), km::Exception);
}

}  // namespace

// The XML check against files that break XML as expat reads it, or that
// plistlib reads and libplist 2.2 reads otherwise. Each row records plistlib's
// verdict, which the test asks plistlib for again, and the rule the store
// gives; plist_xml_differential.py runs the same comparison over thousands of
// mutated files.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "utils/config/store/PlistXmlCheck.h"

namespace P = ZQ::RVL::Utils::Preferences;

namespace {

struct Row {
  std::string file;
  bool plistlibReads;  // as a dictionary
  std::string rule;    // the store's; empty when it accepts the file
};

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// A file whose root dictionary holds `body`.
std::string Dict(const std::string& body) {
  return kDecl + "<plist version=\"1.0\"><dict>" + body + "</dict></plist>\n";
}
std::string Entry(const std::string& value) {
  return Dict("<key>k</key>" + value);
}

struct PipeCloser {
  void operator()(FILE* f) const noexcept { ::pclose(f); }
};

// Asks plistlib whether it reads each file as a dictionary.
std::vector<bool> PlistlibReads(const std::vector<Row>& rows) {
  zqtest::TempDir dir;
  std::string hex;
  for (const Row& row : rows) {
    for (const unsigned char c : row.file) {
      hex += "0123456789abcdef"[c >> 4];
      hex += "0123456789abcdef"[c & 15];
    }
    hex += '\n';
  }
  zqtest::WriteFile(dir.File("files"), hex);
  zqtest::WriteFile(dir.File("read.py"),
                    "import plistlib, sys\n"
                    "for line in open(sys.argv[1]):\n"
                    "    try:\n"
                    "        print(int(isinstance(plistlib.loads(bytes.fromhex(line)), dict)))\n"
                    "    except Exception:\n"
                    "        print(0)\n");
  const std::string command = "python3 " + dir.File("read.py") + " " + dir.File("files");
  std::unique_ptr<FILE, PipeCloser> out(::popen(command.c_str(), "r"));
  std::vector<bool> reads;
  for (int c; out && (c = std::fgetc(out.get())) != EOF;) {
    if (c != '\n') reads.push_back(c == '1');
  }
  return reads;
}

void Check(const std::vector<Row>& rows) {
  const std::vector<bool> reads = PlistlibReads(rows);
  ASSERT_EQ(rows.size(), reads.size()) << "python3 with plistlib did not answer";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + ": " + row.file);
    EXPECT_EQ(row.plistlibReads, reads[i]) << "plistlib's recorded verdict";
    // Never accept what plistlib refuses.
    EXPECT_TRUE(row.plistlibReads || !row.rule.empty());
    P::PlistRefusal why;
    EXPECT_EQ(row.rule.empty(), P::CheckXmlPlist(row.file, &why));
    EXPECT_EQ(row.rule, why.rule);
  }
}

TEST(CheckXmlPlist, RefusesCharactersXmlDoesNotAllowAnywhere) {
  Check({
      {Entry("<string>\x01</string>"), false, "a control character"},
      {Entry("<string>\xef\xbf\xbe</string>"), false, "U+FFFE or U+FFFF"},
      {Entry("<string>\xef\xbf\xbf</string>"), false, "U+FFFE or U+FFFF"},
      {Entry("<string>\xc3</string>"), false, "not UTF-8"},
      {kDecl + "<!-- \x1f -->" + Entry("<true/>").substr(kDecl.size()), false,
       "a control character"},
      {kDecl + "<!-- \xef\xbf\xbe -->" + Entry("<true/>").substr(kDecl.size()), false,
       "U+FFFE or U+FFFF"},
      {kDecl + "<?p \x0b?>" + Entry("<true/>").substr(kDecl.size()), false, "a control character"},
      {kDecl + "<!DOCTYPE plist SYSTEM \"\x7f\xef\xbf\xbf\">" +
           Entry("<true/>").substr(kDecl.size()),
       false, "U+FFFE or U+FFFF"},
      {kDecl + "<plist a=\"\x02\"><dict/></plist>", false, "a control character"},
      {Entry("<string>\x7f\xc2\x85\xef\xb7\x90</string>"), true, ""},  // DEL, NEL, U+FDD0
      {Entry("<string>a&#xFFFE;</string>"), false, "a reference to a character XML does not allow"},
      {Entry("<string>a&#xd800;</string>"), false, "a reference to a character XML does not allow"},
      {kDecl + "<plist a=\"&#1;\"><dict/></plist>", false,
       "a reference to a character XML does not allow"},
  });
}

TEST(CheckXmlPlist, ReadsTheDeclarationAsExpatDoes) {
  const std::string rest = "<plist><dict/></plist>";
  Check({
      {"<?xml version=\"1.0\"\x00?>" + rest, false, "a malformed XML declaration"},
      {"<?xml version=\"1.0\"?>" + rest, true, ""},
      {"<?xml\tversion = '1.x'\r\nencoding='utf-8' standalone=\"no\" ?>" + rest, true, ""},
      {"<?xml version=\"\"?>" + rest, true, ""},
      {"<?xml version=\"1:0\"?>" + rest, false, "a malformed XML declaration"},
      {"<?xml?>" + rest, false, "a malformed XML declaration"},
      {"<?xml encoding=\"UTF-8\" version=\"1.0\"?>" + rest, false, "a malformed XML declaration"},
      {"<?xml version=\"1.0\"encoding=\"UTF-8\"?>" + rest, false, "a malformed XML declaration"},
      {"<?xml version='1.0\"?>" + rest, false, "a malformed XML declaration"},
      {"<?xml version=\"1.0\" standalone=\"Yes\"?>" + rest, false, "a malformed XML declaration"},
      {"<?xml version=\"1.0\" foo=\"x\"?>" + rest, false, "a malformed XML declaration"},
      {"<?xml version=\"1.0\"? >" + rest, false, "a malformed XML declaration"},
      {"<?xml version=\"1.0\" encoding=\"latin1\"?>" + rest, true, "an encoding other than UTF-8"},
      {" <?xml version=\"1.0\"?>" + rest, false,
       "the file starts with neither \"<?xml\" nor \"<plist\""},
      {"<?xml version=\"1.0\"?><?xml version=\"1.0\"?>" + rest, false,
       "an XML declaration not at the start of the file"},
      {"<?xml-stylesheet href=\"a\"?>" + rest, true, ""},
      {"<!-- c -->" + rest, false, "the file starts with neither \"<?xml\" nor \"<plist\""},
  });
}

TEST(CheckXmlPlist, ReadsCommentsAndProcessingInstructionsAsExpatDoes) {
  const std::string plist = "<plist><dict><key>k</key><string>v</string></dict></plist>";
  Check({
      {kDecl + "<!-- a -- b -->" + plist, false, "a comment holds \"--\""},
      {kDecl + "<!-- a --->" + plist, false, "a comment holds \"--\""},
      {kDecl + "<!---->" + plist, true, ""},
      {kDecl + "<!--->-->" + plist, true, ""},
      {kDecl + "<!-- a" + plist, false, "a comment does not end"},
      {kDecl + plist + "<!-- a -->\n<?p x?>\n", true, ""},
      {kDecl + "<?p?><?q  x?y ?>" + plist, true, ""},
      {kDecl + "<?p?x?>" + plist, false, "a processing instruction's target runs into its text"},
      {kDecl + "<?1p?>" + plist, false, "a name is missing"},
      {kDecl + "<?XmL x?>" + plist, false, "an XML declaration not at the start of the file"},
      {kDecl + "<?p x" + plist, false, "a processing instruction does not end"},
      {Dict("<?p?><!--c--><key>k</key><?p?><string>v</string><!--c-->"), true, ""},
      {Entry("<string>a<!-- <b> ]]> -->b</string>"), true, ""},
      {Dict("<key>a<!--c-->b</key><integer>1<!--c-->2</integer>"), true, ""},
      // libplist 2.2 refuses the file, or reads other data.
      {Entry("<string>a<?p?>b</string>"), true, "a processing instruction inside a text"},
      {Entry("<true><?p?></true>"), true, "a processing instruction inside a text"},
      {Entry("<data><!--c-->AAAA</data>"), true, "a comment inside data"},
  });
}

TEST(CheckXmlPlist, ReadsTheDoctypeAsExpatDoes) {
  const std::string plist = "<plist><dict/></plist>";
  Check({
      {kDecl + "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" 'x'>" + plist, true, ""},
      {kDecl + "<!-- c --><!DOCTYPE other SYSTEM \"a>b[\">" + plist, true, ""},
      {kDecl + "<!DOCTYPE plist PUBLIC \"a~\" \"x\">" + plist, false, "a malformed DOCTYPE"},
      {kDecl + "<!DOCTYPE plist PUBLIC \"a\">" + plist, false, "a malformed DOCTYPE"},
      {kDecl + "<!DOCTYPE plist SYSTEM\"a\">" + plist, false, "a malformed DOCTYPE"},
      {kDecl + "<!DOCTYPE plist><!DOCTYPE plist>" + plist, false, "a second DOCTYPE"},
      {kDecl + "<!doctype plist>" + plist, false,
       "text or markup where the root element should start"},
      {kDecl + plist + "<!DOCTYPE plist>", false, "more than comments follow the root element"},
      {kDecl + "<!DOCTYPE plist []>" + plist, true, "a DOCTYPE holds an internal subset"},
      {kDecl + "<!DOCTYPE plist SYSTEM 'a>'>" + plist, true,
       "a DOCTYPE literal in single quotes holds '>', '[' or '\"'"},
  });
}

TEST(CheckXmlPlist, ReadsTagsAndReferencesAsExpatDoes) {
  Check({
      {kDecl + "<plist a=\"1\" a=\"2\"><dict/></plist>", false, "an attribute is named twice"},
      {kDecl + "<plist a=\"1\"b=\"2\"><dict/></plist>", false, "a malformed tag"},
      {kDecl + "<plist a=1><dict/></plist>", false, "an attribute value without quotes"},
      {kDecl + "<plist a=\"<\"><dict/></plist>", false, "an attribute value holds \"<\""},
      {kDecl + "<plist 1a=\"1\"><dict/></plist>", false, "a name is missing"},
      {kDecl + "<plist xmlns:x=\"&amp;>\" _.-:=''><dict a = \"1\"/></plist >", true, ""},
      {Dict("<key a='1'>k</key ><string\n>v</string\t>"), true, ""},
      {Dict("<key>k</key><string>v</strin>"), false, "an end tag does not match its start tag"},
      {Entry("<string>&lt;&#65;&#x42;&#0067;</string>"), true, ""},
      {Entry("<string>a&foo;</string>"), false, "a reference to an undeclared entity"},
      {Entry("<string>a&#X41;</string>"), false, "a malformed character reference"},
      {Entry("<string>a ]]> b</string>"), false, "\"]]>\" in a text"},
      {kDecl + "<plist><dict/></plist>x", false, "more than comments follow the root element"},
      {kDecl + "<plist \xc3\xa9=\"1\"><dict/></plist>", true, "a name outside ASCII"},
      // libplist 2.2 refuses the file.
      {kDecl + "<plist a='\"'><dict/></plist>", true,
       "an attribute value in single quotes holds '\"'"},
      {kDecl + "<!DOCTYPE plist SYSTEM \"x\"><plist><dict><key>k</key><string>a&foo;</string>"
               "</dict></plist>",
       true, "a reference to an undeclared entity"},
      {kDecl + "<!DOCTYPE plist SYSTEM \"x\"><plist a=\"&foo;\"><dict/></plist>", true, ""},
  });
}

TEST(CheckXmlPlist, RefusesStructuresLibplistReadsOtherwise) {
  Check({
      {kDecl + "<dict><key>k</key><string>v</string></dict>", true, ""},
      {kDecl + "<plist>x<dict/></plist>", true, "text between elements"},
      {kDecl + "<plist>&#32;<dict/></plist>", true, "text between elements"},
      {Dict("<![CDATA[ ]]><key>k</key><string>v</string>"), true, "text between elements"},
      {kDecl + "<plist><array/><dict/></plist>", true, "<plist> holds more than one value"},
      {Dict("<foo/><key>k</key><string>v</string>"), true, "a value without a key"},
      {Entry("<array><foo/></array>"), true, "an element that is not a value"},
      {Entry("<string>a<b/>c</string>"), true, "an element inside a text"},
      {Dict("<key/><string>v</string>"), true, "a key written <key/>"},
      {Entry("<true>a&amp;<![CDATA[\r]]>\r</true>"), true, ""},
      {Entry("<string>a\rb</string>"), true, "a carriage return in a text"},
      {Entry("<string>a&#13;b</string>"), true, "a carriage return in a text"},
      {Dict("<key>k</key><true/><key>k</key><false/>"), true,
       "a key is named twice in the root dictionary"},
      {Entry("<integer>18446744073709551616</integer>"), true, "an integer beyond 64 bits"},
      {Entry("<integer>-9223372036854775809</integer>"), true, "an integer beyond 64 bits"},
      {Entry("<integer>18446744073709551615</integer>"), true, ""},
  });
}

TEST(CheckXmlPlist, SaysWhereTheRuleIsBroken) {
  P::PlistRefusal why;
  EXPECT_FALSE(P::CheckXmlPlist(Entry("<string>ab\x01</string>"), &why));
  EXPECT_EQ("a control character, at byte " + std::to_string(kDecl.size() + 49), why.Text());
  EXPECT_FALSE(why.overLimits);
  EXPECT_FALSE(P::CheckXmlPlist(kDecl + "<!-- a -- b -->", &why));
  EXPECT_EQ("a comment holds \"--\", at byte " + std::to_string(kDecl.size() + 7), why.Text());
  EXPECT_FALSE(
      P::CheckXmlPlist(Dict("<key>b</key><true/><key>a</key><true/><key>b</key><true/>"), &why));
  EXPECT_EQ("a key is named twice in the root dictionary, at key \"b\"", why.Text());

  std::string deep;
  for (std::size_t i = 0; i < P::kMaxPlistNesting; ++i) deep += "<array>";
  EXPECT_FALSE(P::CheckXmlPlist(Entry(deep), &why));
  EXPECT_EQ("nested deeper than 64", why.rule);
  EXPECT_TRUE(why.overLimits);
  std::string many;
  for (std::size_t i = 0; i <= P::kMaxPlistEntries; ++i) many += "<true/>";
  EXPECT_FALSE(P::CheckXmlPlist(Entry("<array>" + many + "</array>"), &why));
  EXPECT_EQ("more than " + std::to_string(P::kMaxPlistEntries) + " entries", why.rule);
  EXPECT_TRUE(why.overLimits);
}

}  // namespace

// The korva tool's command line, volume paths and text conversions.
#include <gtest/gtest.h>

#include "args.h"
#include "text.h"

using namespace korvacli;

namespace {

ParseResult Parse(std::vector<std::string> argv) {
  return ParseCommandLine(argv);
}

} // namespace

TEST(CliText, Utf8RoundTripsEveryPlaneAndRefusesMalformedInput) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // a é € 😀
  auto wide = Utf8ToUtf16(text);
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(*wide), text);

  EXPECT_FALSE(Utf8ToUtf16("\xC0\xAF"));         // overlong '/'
  EXPECT_FALSE(Utf8ToUtf16("\xE0\x80\xAF"));     // overlong, three bytes
  EXPECT_FALSE(Utf8ToUtf16("\xED\xA0\x80"));     // an encoded surrogate
  EXPECT_FALSE(Utf8ToUtf16("\xF4\x90\x80\x80")); // past U+10FFFF
  EXPECT_FALSE(Utf8ToUtf16("ab\xE2\x82"));       // cut short
  EXPECT_FALSE(Utf8ToUtf16("\x80"));             // a continuation byte alone

  // A damaged name from a volume is still shown, with the bad unit replaced.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', 0xD800, u'y'}), "x\xEF\xBF\xBDy");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
}

TEST(CliText, VolumePathsTakeBothSeparatorsAndResolveDots) {
  auto p = ParseVolumePath("/a\\b//c/");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Engine(), u"\\a\\b\\c");
  EXPECT_EQ(p->Display(), "/a/b/c");
  EXPECT_EQ(p->Parent().Display(), "/a/b");
  EXPECT_EQ(p->Name(), u"c");

  EXPECT_EQ(ParseVolumePath("a/./b/../c")->Display(), "/a/c");
  EXPECT_EQ(ParseVolumePath("../../x")->Display(), "/x"); // never above the root
  for (const char *root : {"", "/", "\\", "//", "a/.."}) {
    auto r = ParseVolumePath(root);
    ASSERT_TRUE(r) << root;
    EXPECT_TRUE(r->IsRoot()) << root;
    EXPECT_EQ(r->Engine(), u"\\");
    EXPECT_EQ(r->Display(), "/");
  }
  EXPECT_EQ(ParseVolumePath("/d\xC3\xA9j\xC3\xA0")->Engine(), u"\\d\u00e9j\u00e0");
  EXPECT_FALSE(ParseVolumePath("/bad\xFF"));
}

// Names written elsewhere may hold a separator: "%/" and "%\\" keep it in the name, "%%" is
// one percent sign, and every name is shown in the form that parses back to it.
TEST(CliText, EscapedSeparatorsAddressNamesHoldingThem) {
  auto p = ParseVolumePath("/a%/b/c%\\d/100%/e%%");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->parts.size(), 3u);
  EXPECT_EQ(p->parts[0], u"a/b");
  EXPECT_EQ(p->parts[1], u"c\\d");
  EXPECT_EQ(p->parts[2], u"100/e%");
  // The engine is given its stand-in for a backslash inside a name.
  EXPECT_EQ(p->Engine(), u"\\a/b\\c\uF05Cd\\100/e%");
  EXPECT_EQ(ParseVolumePath("/50% off")->parts[0], u"50% off");
  for (const std::u16string &name :
       {std::u16string(u"a/b"), std::u16string(u"x\\y"), std::u16string(u"%"),
        std::u16string(u"50% off"), std::u16string(u"%%/"), std::u16string(u"end%"),
        std::u16string(u"tab\there\x1b[2J"), std::u16string(u"%x41"), std::u16string(u"\x85%x"),
        std::u16string(1, u'\x7f')}) {
    VolumePath one;
    one.parts.push_back(name);
    auto back = ParseVolumePath(one.Display());
    ASSERT_TRUE(back);
    ASSERT_EQ(back->parts.size(), 1u) << one.Display();
    EXPECT_EQ(back->parts[0], name) << one.Display();
  }
  EXPECT_EQ(EscapeName(u"plain.txt"), "plain.txt");
  // Control characters are shown as escapes the tool takes back, never as '?'.
  EXPECT_EQ(EscapeName(u"a\nb\x1b"), "a%x0ab%x1b");
  EXPECT_EQ(EscapeName(u"%x41"), "%%x41");
  EXPECT_EQ(ParseVolumePath("/a%x0Ab")->parts[0], u"a\nb");
  EXPECT_EQ(ParseVolumePath("/%xg1")->parts[0], u"%xg1"); // not an escape: taken as typed
}

TEST(CliText, JsonTimesAndNumbers) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(JsonString("\xC3\xA9"), "\"\xC3\xA9\""); // UTF-8 passes through

  // 2000-01-01T00:00:00Z is 946684800 s after 1970.
  EXPECT_EQ(FileTimeToIso((946684800ULL + 11644473600ULL) * 10000000ULL), "2000-01-01T00:00:00Z");
  EXPECT_EQ(FileTimeToIso(0), "");

  // Names from a medium never reach the terminal as control sequences.
  EXPECT_EQ(Printable("a\x1b[2Jb\x7f\xC2\x9B"
                      "c\xC3\xA9"),
            "a?[2Jb??c\xC3\xA9");

  EXPECT_EQ(HumanBytes(0), "0 B");
  EXPECT_EQ(HumanBytes(1536), "1.5 KiB");
  EXPECT_EQ(HumanBytes(100ULL << 20), "100 MiB");

  EXPECT_EQ(ParseNumber("100", 1, 65535), 100u);
  EXPECT_FALSE(ParseNumber("0", 1, 65535));
  EXPECT_FALSE(ParseNumber("65536", 1, 65535));
  EXPECT_FALSE(ParseNumber("-1", 0, 10));
  EXPECT_FALSE(ParseNumber("1e3", 0, 10000));
  EXPECT_FALSE(ParseNumber("", 0, 10));
  EXPECT_FALSE(ParseNumber("99999999999999999999", 0, UINT64_MAX));
}

TEST(CliParse, OptionsStandBeforeOrAfterTheCommand) {
  auto r = Parse({"-i", "x.iso", "ls", "/a", "-lR"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.command, "ls");
  EXPECT_EQ(r.options.image, "x.iso");
  EXPECT_EQ(r.options.args, std::vector<std::string>{"/a"});
  EXPECT_TRUE(r.options.longFormat);
  EXPECT_TRUE(r.options.recursive);

  r = Parse({"format", "--label=DISC", "--quick", "--image", "y.iso", "--size", "7"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.label, "DISC");
  EXPECT_TRUE(r.options.quick);
  EXPECT_EQ(r.options.sizeMiB, 7);
  EXPECT_EQ(r.options.image, "y.iso");

  r = Parse({"-iz.iso", "rm", "--", "-odd-name"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.image, "z.iso");
  EXPECT_EQ(r.options.args, std::vector<std::string>{"-odd-name"});

  r = Parse(
      {"--drive", "E", "--aspi", "libkorva_vdrive.so", "--trace", "t.log", "erase", "--quick"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.drive, "E");
  EXPECT_EQ(r.options.aspi, "libkorva_vdrive.so");
  EXPECT_EQ(r.options.trace, "t.log");

  // A lone "-" is an argument (a name), not an option.
  r = Parse({"-i", "a.iso", "cat", "-"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.args, std::vector<std::string>{"-"});
}

TEST(CliParse, UsageErrorsAreCaughtBeforeAnythingRuns) {
  const std::vector<std::vector<std::string>> bad = {
      {},                                       // no command
      {"-i", "a.iso", "frobnicate"},            // unknown command
      {"-i", "a.iso", "ls", "--colour"},        // unknown option
      {"-i", "a.iso", "ls", "-x"},              // unknown short option
      {"-i", "a.iso", "mkdir", "-l", "/a"},     // option of another command
      {"-i", "a.iso", "rm", "--quick", "/a"},   // option of another command
      {"ls"},                                   // no target
      {"-i", "a.iso", "-d", "E", "ls"},         // two targets
      {"-i", "a.iso", "get", "/a"},             // too few arguments
      {"-i", "a.iso", "ls", "/a", "/b"},        // too many arguments
      {"-i", "a.iso", "put", "x"},              // put needs LOCAL and DEST
      {"-i", "a.iso", "eject"},                 // a drive command on an image
      {"-i", "a.iso", "drives"},                // likewise
      {"-i", "a.iso", "format", "--size", "0"}, // size out of range
      {"-i", "a.iso", "format", "--size", "70000"},
      {"-i", "a.iso", "format", "--size", "ten"},
      {"-i", "a.iso", "format", "--label"},    // value missing
      {"-i", "a.iso", "info", "--json=yes"},   // flag with a value
      {"-d", "E", "format", "--size", "10"},   // size on a drive
      {"-i", "a.iso", "--aspi", "m.so", "ls"}, // drive options on an image
      {"help", "frobnicate"},
  };
  for (const auto &argv : bad) {
    std::string joined;
    for (const auto &a : argv)
      joined += a + " ";
    EXPECT_NE(Parse(argv).error, "") << joined;
  }
}

TEST(CliParse, HelpAndVersionNeedNoTarget) {
  auto r = Parse({"--help"});
  EXPECT_EQ(r.error, "");
  EXPECT_TRUE(r.options.help);
  r = Parse({"put", "--help"});
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.options.command, "put");
  EXPECT_TRUE(r.options.help);
  r = Parse({"--version"});
  EXPECT_EQ(r.error, "");
  EXPECT_TRUE(r.options.version);
  EXPECT_EQ(Parse({"help", "ls"}).error, "");

  // Every command has a help text naming it, and the overview lists them all.
  const std::string overview = GeneralHelp();
  for (const auto &c : Commands()) {
    EXPECT_NE(CommandHelp(c).find(std::string("korva ")), std::string::npos);
    EXPECT_NE(overview.find(c.synopsis), std::string::npos) << c.name;
  }
}

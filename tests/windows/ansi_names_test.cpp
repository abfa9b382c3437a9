// The 8-bit forms on Windows take and give names in the process's ANSI code page. This
// program runs in the system's code page (1252 under Wine's default locale): names with
// characters of that page go both ways, and a character the page cannot hold is refused
// rather than replaced by a look-alike.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "korva/files.h"
#include "korva/volume.h"
#include "tests/support/volume_fixture.h"

namespace {

using korva::test::FormattedImage;

struct AnsiNames : ::testing::Test {
  FormattedImage img;
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override {
    if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252, this system runs " << GetACP();
    ASSERT_TRUE(img.Ok());
  }
};

TEST_F(AnsiNames, NamesGoBothWaysThroughTheCodePage) {
  // "Grüße" in code page 1252: one byte a character.
  ASSERT_EQ(UDF_CreateDirectory(&v, "\\", "Gr\xFC\xDF" "e"), KTRUE);
  _UDF_FIND_DATAW w;
  UDF_HANDLE h = UDF_FindFirstFileW(&v, u"\\*", &w);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_EQ(std::u16string(w.cFileName), u"Gr\u00fc\u00dfe") << "stored as the characters meant";
  UDF_FindClose(&v, h);
  _UDF_FIND_DATAA a;
  h = UDF_FindFirstFile(&v, "\\Gr\xFC\xDF" "e", &a);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_STREQ(a.cFileName, "Gr\xFC\xDF" "e");
  UDF_FindClose(&v, h);

  ASSERT_EQ(UDF_CreateSymbolicLink(&v, "\\l", "../\x80uro"), KTRUE); // 0x80 is the euro sign
  char target[64] = {};
  uint32_t length = 0;
  ASSERT_EQ(UDF_ReadLink(&v, "\\l", target, sizeof target, &length), KTRUE);
  EXPECT_STREQ(target, "../\x80uro");
  KWCHAR wide[64] = {};
  ASSERT_EQ(UDF_ReadLinkW(&v, u"\\l", wide, 64, &length), KTRUE);
  EXPECT_EQ(std::u16string(wide), u"../\u20acuro");
}

TEST_F(AnsiNames, CharactersThePageCannotHoldAreRefused) {
  // A name stored through the wide form that 1252 has no bytes for.
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"\u4e2d"), KTRUE);
  _UDF_FIND_DATAA a;
  const UDF_HANDLE h = UDF_FindFirstFile(&v, "\\*", &a);
  EXPECT_EQ(h, UDF_INVALID_HANDLE) << "not listed as \"?\", which names another file";
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  if (h != UDF_INVALID_HANDLE) UDF_FindClose(&v, h);
  ASSERT_EQ(UDF_CreateSymbolicLinkW(&v, u"\\w", u"\u4e2d"), KTRUE);
  char target[16] = {};
  uint32_t length = 0;
  EXPECT_EQ(UDF_ReadLink(&v, "\\w", target, sizeof target, &length), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  // UTF-8 bytes are 1252 characters here: "\xC3\xBC" is two characters, not one.
  ASSERT_EQ(UDF_CreateDirectory(&v, "\\", "\xC3\xBC"), KTRUE);
  _UDF_FIND_DATAW w;
  const UDF_HANDLE hw = UDF_FindFirstFileW(&v, u"\\\u00c3\u00bc", &w);
  EXPECT_NE(hw, UDF_INVALID_HANDLE);
  if (hw != UDF_INVALID_HANDLE) UDF_FindClose(&v, hw);
}

// An image named in the code page is the file Windows shows under that name.
TEST(AnsiImagePaths, ImageNamesAreCodePageCharacters) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252";
  korva::test::TempDir dir;
  const std::string path = dir.File("caf\xE9.img");
  auto v = korva::test::NewVolume();
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 4), KTRUE);
  EXPECT_EQ(korva::test::FormatAndWait(*v, u"CAFE"), 0);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  const std::wstring wide = L"\\caf\u00e9.img";
  const std::wstring folder(dir.Path().begin(), dir.Path().end());
  EXPECT_NE(GetFileAttributesW((folder + wide).c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

} // namespace

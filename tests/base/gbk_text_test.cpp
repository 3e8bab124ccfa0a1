#include "base/gbk_text.h"

#include <gtest/gtest.h>

namespace {

struct Folder {
  const char* name;
  const char* utf8;
  bool held;
};

class HoldsInGbkTest : public ::testing::TestWithParam<Folder> {};

// The installation folder's name decides whether an update can start.
TEST_P(HoldsInGbkTest, SaysWhetherTheNameComesBack) {
  EXPECT_EQ(base::HoldsInGbk(GetParam().utf8), GetParam().held);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, HoldsInGbkTest,
    ::testing::Values(Folder{"Ascii", u8"C:\\Program Files (x86)\\Tool\\", true},
                      Folder{"Chinese", u8"D:\\软件\\在线 升级\\", true},
                      Folder{"TraditionalInGbk", u8"D:\\軟體\\誠\\", true},
                      Folder{"PinyinVowels", u8"C:\\lǜ\\ü\\", true},
                      Folder{"Cedilla", u8"C:\\Users\\Françoise\\App\\", false},
                      Folder{"Umlaut", u8"C:\\Users\\Jörg\\", false},
                      Folder{"Tilde", u8"C:\\Users\\Muñoz\\", false},
                      Folder{"Polish", u8"C:\\Users\\Michał\\", false},
                      Folder{"Hangul", u8"C:\\사용자\\", false},
                      Folder{"Emoji", u8"C:\\App \xF0\x9F\x98\x80\\", false}),
    [](const ::testing::TestParamInfo<Folder>& info) { return info.param.name; });

}  // namespace

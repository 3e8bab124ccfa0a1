#include "files/long_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Form {
  const wchar_t* path;
  const wchar_t* expected;
};

class LongPathFormTest : public ::testing::TestWithParam<Form> {};

TEST_P(LongPathFormTest, MakesTheForm) {
  EXPECT_EQ(files::LongPathForm(GetParam().path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Drive, LongPathFormTest,
    ::testing::Values(Form{L"C:\\App\\update\\a.dll", L"\\\\?\\C:\\App\\update\\a.dll"},
                      Form{L"d:\\", L"\\\\?\\d:\\"},
                      Form{L"C:\\App\\", L"\\\\?\\C:\\App\\"},
                      // The system's own reading of separators and "." is kept.
                      Form{L"C:/App/sub/a.dll", L"\\\\?\\C:\\App\\sub\\a.dll"},
                      Form{L"C:\\App\\\\.\\sub\\.\\a.dll", L"\\\\?\\C:\\App\\sub\\a.dll"},
                      // Names the form leaves alone: Chinese, spaces inside, dots inside.
                      Form{L"C:\\\x7a0b\x5e8f \x76ee\x5f55\\v1.2\\a b.txt",
                           L"\\\\?\\C:\\\x7a0b\x5e8f \x76ee\x5f55\\v1.2\\a b.txt"}));

INSTANTIATE_TEST_SUITE_P(
    Network, LongPathFormTest,
    ::testing::Values(Form{L"\\\\server\\share\\App\\a.dll", L"\\\\?\\UNC\\server\\share\\App\\a.dll"},
                      Form{L"\\\\server\\share\\", L"\\\\?\\UNC\\server\\share\\"},
                      Form{L"//server/share/a", L"\\\\?\\UNC\\server\\share\\a"},
                      // No share: nothing the form could name.
                      Form{L"\\\\server", L"\\\\server"}, Form{L"\\\\server\\", L"\\\\server\\"}));

INSTANTIATE_TEST_SUITE_P(
    Unchanged, LongPathFormTest,
    ::testing::Values(Form{L"\\\\?\\C:\\App\\a.dll", L"\\\\?\\C:\\App\\a.dll"},
                      Form{L"\\\\?\\UNC\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a"},
                      Form{L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
                      Form{L"//?/C:/a", L"//?/C:/a"}, Form{L"//./C:/a", L"//./C:/a"},
                      Form{L"App\\a.dll", L"App\\a.dll"}, Form{L"C:App\\a.dll", L"C:App\\a.dll"},
                      Form{L"\\App\\a.dll", L"\\App\\a.dll"}, Form{L"", L""}, Form{L"C:", L"C:"},
                      // The system would resolve these; the form would not.
                      Form{L"C:\\App\\..\\a.dll", L"C:\\App\\..\\a.dll"},
                      Form{L"C:\\App\\readme.", L"C:\\App\\readme."},
                      Form{L"C:\\App \\a.dll", L"C:\\App \\a.dll"},
                      Form{L"\\\\server\\share\\..\\x", L"\\\\server\\share\\..\\x"}));

// The staging path of a 250-character installation: beyond MAX_PATH (260)
// and the folder limit (248), the form is the whole path behind the prefix.
TEST(LongPathForm, KeepsAPathOfAnyLength) {
  std::wstring path = L"C:\\";
  while (path.size() < 250) path += L"folder\\";
  path += L"update\\sub\\file.dll";
  ASSERT_GT(path.size(), 260u);
  EXPECT_EQ(files::LongPathForm(path), L"\\\\?\\" + path);
}

}  // namespace

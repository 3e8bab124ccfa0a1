#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/wide_text_win.h"
#include "digests/crc32.h"
#include "files/file_signature.h"

namespace {

namespace fs = std::filesystem;

using RtlComputeCrc32Function = DWORD(WINAPI*)(DWORD, const BYTE*, INT);

RtlComputeCrc32Function SystemCrc32() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return nullptr;
  return reinterpret_cast<RtlComputeCrc32Function>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlComputeCrc32")));
}

TEST(Crc32Win, AgreesWithTheSystemCrcForEveryKernel) {
  const RtlComputeCrc32Function systemCrc32 = SystemCrc32();
  ASSERT_NE(systemCrc32, nullptr);
  std::mt19937 random(11);
  std::vector<unsigned char> data(1 << 20);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  for (const bool fallback : {false, true}) {
    files::Crc32ForceFallback(fallback);
    for (int round = 0; round < 200; ++round) {
      // Mostly short buffers, where the kernels' edges are, some long ones.
      const size_t limit = round % 10 == 0 ? data.size() : 5000;
      const size_t offset = random() % 32;
      const size_t size = random() % (limit - offset);
      const DWORD start = round % 3 == 0 ? 0 : static_cast<DWORD>(random());
      ASSERT_EQ(files::Crc32Update(start, data.data() + offset, size),
                systemCrc32(start, data.data() + offset, static_cast<INT>(size)))
          << files::Crc32KernelName() << ", offset " << offset << ", size " << size;
    }
  }
  files::Crc32ForceFallback(false);
}

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

struct HolderCase {
  const char* label;
  DWORD access;
  DWORD share;
  bool readable;
};

// Another handle holds the file open while its signature is taken.
class FileSignatureWhileHeld : public testing::TestWithParam<HolderCase> {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() / (std::string("held_") + GetParam().label + ".dll");
    std::ofstream(path_, std::ios::binary) << "123456789";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  fs::path path_;
};

TEST_P(FileSignatureWhileHeld, IsReadUnlessTheHolderForbidsReading) {
  const std::string gbkPath = base::GbkFromWide(path_.wstring());
  ASSERT_EQ(files::FileSignature(gbkPath), "CBF43926");
  {
    FileHandle holder(CreateFileW(path_.wstring().c_str(), GetParam().access, GetParam().share,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid()) << GetLastError();
    EXPECT_EQ(files::FileSignature(gbkPath), GetParam().readable ? "CBF43926" : "0");
  }
  EXPECT_EQ(files::FileSignature(gbkPath), "CBF43926");
}

INSTANTIATE_TEST_SUITE_P(
    FileSignatureWin, FileSignatureWhileHeld,
    testing::Values(
        HolderCase{"ReaderWriterSharingAll", GENERIC_READ | GENERIC_WRITE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        HolderCase{"WriterSharingReading", GENERIC_WRITE, FILE_SHARE_READ, true},
        HolderCase{"ReaderSharingNothing", GENERIC_READ, 0, false},
        HolderCase{"WriterSharingOnlyWriting", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                   false}),
    [](const testing::TestParamInfo<HolderCase>& info) { return info.param.label; });

}  // namespace

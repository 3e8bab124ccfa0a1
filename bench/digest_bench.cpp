// What the signed check adds to reading a staged file: the CRC-32 alone (an
// unsigned list) against the CRC-32 and the SHA-256 in one pass through CNG
// (a signed list), on one large file and on many small ones, plus CNG's
// SHA-256 over memory. Run under Wine: wine digest_bench.exe [folder]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/unique_handle_win.h"
#include "digests/sha256_win.h"
#include "files/file_signature.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Write(const std::string& path, const std::string& bytes) {
  base::UniqueFileHandle file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Best of three, in milliseconds.
template <typename F>
double Best(F&& run) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

void Compare(const char* what, const std::vector<std::string>& paths, double megabytes) {
  size_t sink = 0;
  const double crc = Best([&] {
    for (const std::string& path : paths) sink += files::FileSignature(path).size();
  });
  const double both = Best([&] {
    for (const std::string& path : paths) {
      files::CngSha256 sha;
      sink += files::FileSignatureAndSha256(path, sha).Sha256.size();
    }
  });
  std::printf("%-26s CRC only %8.1f ms (%6.0f MB/s)   CRC+SHA-256 %8.1f ms (%6.0f MB/s)   x%.2f  [%zu]\n", what, crc,
              megabytes / crc * 1000, both, megabytes / both * 1000, both / crc, sink % 10);
}

}  // namespace

int main(int argc, char** argv) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = argc > 1 ? std::string(argv[1]) + "\\" : std::string(temp) + "digest_bench\\";
  CreateDirectoryA(folder.c_str(), nullptr);

  const size_t large = size_t{64} << 20;
  const std::string big = Noise(large, 1);
  const double memory = Best([&] {
    files::Sha256Digest digest{};
    files::CngSha256Of(big.data(), big.size(), &digest);
  });
  std::printf("CNG SHA-256 over memory: %.0f MB/s\n", 64 / memory * 1000);

  const std::vector<std::string> one = {folder + "large.bin"};
  Write(one[0], big);
  Compare("one 64 MB file", one, 64);

  std::vector<std::string> many;
  for (int i = 0; i < 2000; ++i) {
    many.push_back(folder + "small" + std::to_string(i) + ".bin");
    Write(many.back(), Noise(16 << 10, i));
  }
  Compare("2000 files of 16 KB", many, 2000 * 16.0 / 1024);

  for (const std::string& path : one) DeleteFileA(path.c_str());
  for (const std::string& path : many) DeleteFileA(path.c_str());
  RemoveDirectoryA(folder.c_str());
  return 0;
}

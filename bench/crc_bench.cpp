// Throughput of the CRC-32 kernels and of FileSignature on a page-cached file.
//
//   crc_bench [file-size-in-MiB, default 1024] [--remove]
//
// The data file is kept in the temporary folder for the next run unless
// --remove is given.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/gbk_text.h"
#include "digests/crc32.h"
#include "digests/crc32_kernels.h"
#include "files/file_reader.h"
#include "files/file_signature.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Peak resident memory of the process in MiB.
double PeakMemoryMiB() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1 << 20);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;  // KiB on Linux
#endif
}

uint64_t NextRandom(uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

void FillRandom(std::vector<unsigned char>& bytes, uint64_t& state) {
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    const uint64_t value = NextRandom(state);
    std::memcpy(&bytes[i], &value, 8);
  }
}

bool MakeDataFile(const fs::path& path, uint64_t size) {
  std::error_code error;
  if (fs::exists(path, error) && fs::file_size(path, error) == size) return true;
  std::printf("creating %s (%llu MiB)...\n", path.string().c_str(),
              static_cast<unsigned long long>(size >> 20));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<unsigned char> chunk(1 << 20);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (uint64_t left = size; left > 0 && out;) {
    FillRandom(chunk, state);
    const size_t piece = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(piece));
    left -= piece;
  }
  out.close();
  return static_cast<bool>(out);
}

// Reads the whole file the way FileSignature does, without the CRC.
uint64_t PlainRead(const std::string& path) {
  files::FileReader reader(path);
  // Page-aligned like FileSignature's buffer, so both copies run alike.
  std::vector<unsigned char> storage(files::kSignatureChunkSize + 4096);
  unsigned char* const buffer =
      storage.data() + (4096 - reinterpret_cast<uintptr_t>(storage.data()) % 4096) % 4096;
  uint64_t total = 0;
  size_t count = 0;
  while (reader.Read(buffer, files::kSignatureChunkSize, &count) && count > 0) total += count;
  return total;
}

// Best rate of five runs of each, in GB/s (10^9 bytes per second). The runs
// alternate so that both see the same load from the rest of the machine.
void BestRates(uint64_t bytes, const std::function<void()>& first,
               const std::function<void()>& second, double* firstRate, double* secondRate) {
  *firstRate = *secondRate = 0;
  for (int i = 0; i < 5; ++i) {
    for (int which = 0; which < 2; ++which) {
      const auto start = Clock::now();
      (which == 0 ? first : second)();
      const double rate = static_cast<double>(bytes) / Seconds(Clock::now() - start) / 1e9;
      double* best = which == 0 ? firstRate : secondRate;
      if (rate > *best) *best = rate;
    }
  }
}

// Repeats `crc` over the buffer for about 0.3 s in slices of at least 10 ms
// and keeps the best slice, which leaves out time lost to other processes.
double CrcRate(const std::vector<unsigned char>& buffer,
               const std::function<uint32_t(const unsigned char*, size_t)>& crc) {
  volatile uint32_t sink = 0;
  double best = 0;
  const auto begin = Clock::now();
  while (Seconds(Clock::now() - begin) < 0.3) {
    uint64_t bytes = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
      sink = sink ^ crc(buffer.data(), buffer.size());
      bytes += buffer.size();
      elapsed = Seconds(Clock::now() - start);
    } while (elapsed < 0.01);
    const double rate = static_cast<double>(bytes) / elapsed / 1e9;
    if (rate > best) best = rate;
  }
  return best;
}

struct Contender {
  const char* name;
  std::function<uint32_t(const unsigned char*, size_t)> crc;
};

}  // namespace

int main(int argc, char** argv) {
  uint64_t fileMiB = 1024;
  bool remove = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--remove") == 0) {
      remove = true;
    } else {
      fileMiB = std::strtoull(argv[i], nullptr, 10);
      if (fileMiB == 0) {
        std::fprintf(stderr, "usage: crc_bench [file-size-in-MiB] [--remove]\n");
        return 2;
      }
    }
  }

  std::printf("dispatched kernel: %s\n", files::Crc32KernelName());

  // The file first, while nothing else has raised the memory peak.
  const fs::path dataPath =
      fs::temp_directory_path() / ("crc_bench_" + std::to_string(fileMiB) + "m.bin");
  const uint64_t fileSize = fileMiB << 20;
  if (!MakeDataFile(dataPath, fileSize)) {
    std::fprintf(stderr, "cannot write %s\n", dataPath.string().c_str());
    return 1;
  }
  const std::string path = base::GbkFromUtf8(dataPath.u8string());
  if (PlainRead(path) != fileSize) {  // also warms the page cache
    std::fprintf(stderr, "cannot read %s\n", dataPath.string().c_str());
    return 1;
  }
  const double peakBefore = PeakMemoryMiB();
  std::string signature;
  double readRate = 0, signatureRate = 0;
  BestRates(
      fileSize, [&] { PlainRead(path); }, [&] { signature = files::FileSignature(path); },
      &readRate, &signatureRate);
  const double peakAfter = PeakMemoryMiB();

  std::printf("\nfile of %llu MiB, page-cached, read in %zu KiB pieces\n",
              static_cast<unsigned long long>(fileMiB), files::kSignatureChunkSize >> 10);
  std::printf("  plain read          %7.2f GB/s\n", readRate);
  std::printf("  FileSignature       %7.2f GB/s  (%.0f%% of plain read)  = %s\n", signatureRate,
              100 * signatureRate / readRate, signature.c_str());
  std::printf("  peak memory         %.1f MiB before FileSignature, %.1f MiB after\n", peakBefore,
              peakAfter);

  std::vector<Contender> contenders;
  contenders.push_back({"ours (dispatched)", [](const unsigned char* data, size_t size) {
                          files::Crc32ForceFallback(false);
                          return files::Crc32Update(0, data, size);
                        }});
  contenders.push_back({"ours (slicing-by-8)", [](const unsigned char* data, size_t size) {
                          files::Crc32ForceFallback(true);
                          const uint32_t crc = files::Crc32Update(0, data, size);
                          files::Crc32ForceFallback(false);
                          return crc;
                        }});
  // The 128-bit kernel is what CPUs without the 256-bit form get.
  if (files::crc32_internal::ClmulSupported()) {
    contenders.push_back({"ours (pclmul, 128-bit)", [](const unsigned char* data, size_t size) {
                            return ~files::crc32_internal::Clmul(~0u, data, size);
                          }});
  }
#ifdef HAVE_ZLIB
  contenders.push_back({"zlib crc32", [](const unsigned char* data, size_t size) {
                          return static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(size)));
                        }});
#endif
#ifdef _WIN32
  using RtlComputeCrc32Function = DWORD(WINAPI*)(DWORD, const BYTE*, INT);
  const auto rtlComputeCrc32 = reinterpret_cast<RtlComputeCrc32Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlComputeCrc32")));
  if (rtlComputeCrc32 != nullptr) {
    contenders.push_back({"ntdll RtlComputeCrc32", [rtlComputeCrc32](const unsigned char* data,
                                                                       size_t size) {
                            return static_cast<uint32_t>(
                                rtlComputeCrc32(0, data, static_cast<INT>(size)));
                          }});
  }
#endif

  // One buffer that stays in the caches and one that streams from memory.
  const size_t sizes[] = {size_t{256} << 10, size_t{64} << 20};
  std::vector<std::vector<unsigned char>> buffers;
  uint64_t state = 0x243F6A8885A308D3ull;
  for (size_t size : sizes) {
    buffers.emplace_back(size);
    FillRandom(buffers.back(), state);
  }
  std::printf("\n  %-30s %10s %10s   check\n", "CRC-32 of one buffer, GB/s", "256 KiB", "64 MiB");
  std::vector<std::vector<double>> rates;
  for (const Contender& contender : contenders) {
    std::vector<double> row;
    for (const auto& buffer : buffers) row.push_back(CrcRate(buffer, contender.crc));
    std::printf("  %-30s %10.2f %10.2f   %08X\n", contender.name, row[0], row[1],
                static_cast<unsigned>(contender.crc(buffers[0].data(), buffers[0].size())));
    rates.push_back(row);
  }
  for (size_t i = 1; i < contenders.size(); ++i) {
    std::printf("  ours / %-23s %9.1fx %9.1fx\n", contenders[i].name, rates[0][0] / rates[i][0],
                rates[0][1] / rates[i][1]);
  }

  if (remove) {
    std::error_code ignored;
    fs::remove(dataPath, ignored);
  }
  return 0;
}

#include "tool_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "digests/crc32.h"

namespace tool_testing {

ScratchFolder::ScratchFolder() {
  std::random_device random;
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string("updpub_") + (test ? test->name() : "test") + "_" + std::to_string(random());
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  path_ = fs::temp_directory_path() / name;
  fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteBytes(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).string();
    tree[name] = entry.is_directory() ? "<dir>" : ReadBytes(entry.path());
  }
  return tree;
}

uint32_t Crc(std::string_view bytes) { return files::Crc32Update(0, bytes.data(), bytes.size()); }

std::string CrcHex(std::string_view bytes) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(Crc(bytes)));
  return text;
}

int LineOf(std::string_view text, std::string_view needle) {
  const size_t at = text.find(needle);
  if (at == std::string_view::npos) return 0;
  int line = 1;
  for (size_t i = 0; i < at; ++i) line += text[i] == '\n';
  return line;
}

void ReplaceOnce(std::string& text, std::string_view from, std::string_view to) {
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << "no \"" << from << "\" in the text";
  text.replace(at, from.size(), to);
}

void ReplaceInFile(const fs::path& path, std::string_view from, std::string_view to) {
  std::string bytes = ReadBytes(path);
  ReplaceOnce(bytes, from, to);
  WriteBytes(path, bytes);
}

std::map<std::string, std::string> SmallRelease() {
  std::map<std::string, std::string> files;
  files["a.txt"] = "hello, update\r\n";
  std::string dll(300000, '\0');
  std::mt19937 random(7);
  for (char& c : dll) c = static_cast<char>(random());
  files["sub/b.dll"] = dll;
  files[u8"数据/说明 1.txt"] = u8"更新后的说明文件。\r\n";
  // A CRC below 0x10000000 leaves room for a leading zero within 8 digits.
  for (int i = 0;; ++i) {
    const std::string content = "short " + std::to_string(i);
    if (Crc(content) < 0x10000000u) {
      files["short.txt"] = content;
      break;
    }
  }
  return files;
}

void WriteRelease(const fs::path& root, const std::map<std::string, std::string>& files) {
  for (const auto& [name, content] : files) WriteBytes(root / name, content);
}

updpub::PublishOptions Options(const fs::path& release, const fs::path& site, const std::string& version) {
  updpub::PublishOptions options;
  options.from = release;
  options.site = site;
  options.version = version;
  options.softName = u8"测试软件";
  options.servers = {{u8"电信服务器", "http://mirror.test/srv1/"}};
  options.utf8Urls = true;
  return options;
}

updpub::HttpResult FolderHttp::Get(const std::string& url, const std::function<void(const char*, size_t)>& body) {
  ++requests;
  updpub::HttpResult result;
  const size_t origin = url.find("://");
  const size_t slash = origin == std::string::npos ? std::string::npos : url.find('/', origin + 3);
  if (slash == std::string::npos) {
    result.error = "no path";
    return result;
  }
  std::string path = url.substr(slash + 1);
  path = path.substr(0, path.find('?'));
  const fs::path file = root_ / updpub::PercentDecoded(path);
  result.reached = true;
  if (!fs::is_regular_file(file)) {
    result.status = 404;
    body("Not Found", 9);
    return result;
  }
  result.status = 200;
  const std::string content = ReadBytes(file);
  body(content.data(), content.size());
  return result;
}

bool FailingSiteFiles::Step(std::string& error) {
  if (++steps_ != failAt_) return true;
  error = "injected failure";
  return false;
}

bool FailingSiteFiles::MakeFolders(const fs::path& folder, std::string& error) {
  return Step(error) && host_.MakeFolders(folder, error);
}

bool FailingSiteFiles::MakeNewFolder(const fs::path& folder, std::string& error) {
  return Step(error) && host_.MakeNewFolder(folder, error);
}

updpub::CopyOutcome FailingSiteFiles::Copy(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                                           const std::function<void(uint64_t)>& progress, bool withSha256) {
  updpub::CopyOutcome failed;
  if (!Step(failed.error)) {
    WriteBytes(to, "partial");
    return failed;
  }
  return host_.Copy(from, to, buffer, progress, withSha256);
}

bool FailingSiteFiles::WriteFile(const fs::path& path, std::string_view bytes, std::string& error) {
  if (!Step(error)) {
    WriteBytes(path, bytes.substr(0, bytes.size() / 2));
    return false;
  }
  return host_.WriteFile(path, bytes, error);
}

bool FailingSiteFiles::ReadFile(const fs::path& path, std::string& bytes, std::string& error) {
  return Step(error) && host_.ReadFile(path, bytes, error);
}

bool FailingSiteFiles::Rename(const fs::path& from, const fs::path& to, std::string& error) {
  return Step(error) && host_.Rename(from, to, error);
}

bool FailingSiteFiles::Exists(const fs::path& path) { return host_.Exists(path); }

void FailingSiteFiles::RemoveAll(const fs::path& path) { host_.RemoveAll(path); }

}  // namespace tool_testing

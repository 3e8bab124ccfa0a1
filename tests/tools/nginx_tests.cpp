// "updpub check" over real HTTP: Debian's nginx, started without root on a
// free port of 127.0.0.1, serves sites that updpub published.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tool_support.h"
#include "updpub/check/site_check.h"

extern char** environ;

namespace {

using namespace tool_testing;

constexpr char kNginx[] = "/usr/sbin/nginx";

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// One nginx process in the foreground (no master, no workers to switch user)
// serving `root`; stopped by the destructor.
class Nginx {
 public:
  explicit Nginx(const fs::path& root) : prefix_(root.parent_path() / "nginx") {
    fs::create_directories(prefix_ / "temp");
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) Start(root);
  }
  ~Nginx() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  bool running() const { return pid_ > 0; }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  std::string Log() const { return ReadBytes(prefix_ / "error.log"); }

 private:
  void Start(const fs::path& root) {
    port_ = FreePort();
    const std::string temp = (prefix_ / "temp").string();
    WriteBytes(prefix_ / "nginx.conf",
               "daemon off;\nmaster_process off;\nerror_log " + (prefix_ / "error.log").string() +
                   " warn;\npid " + (prefix_ / "nginx.pid").string() +
                   ";\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
                   "  default_type application/octet-stream;\n"
                   "  client_body_temp_path " + temp + "/body;\n  proxy_temp_path " + temp + "/proxy;\n"
                   "  fastcgi_temp_path " + temp + "/fastcgi;\n  uwsgi_temp_path " + temp + "/uwsgi;\n"
                   "  scgi_temp_path " + temp + "/scgi;\n"
                   "  server {\n    listen 127.0.0.1:" + std::to_string(port_) + ";\n    root " + root.string() +
                   ";\n  }\n}\n");
    const std::string conf = (prefix_ / "nginx.conf").string();
    const std::string errorLog = (prefix_ / "error.log").string();
    const std::string prefix = prefix_.string() + "/";
    std::vector<std::string> args = {kNginx, "-p", prefix, "-e", errorLog, "-c", conf};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, kNginx, nullptr, nullptr, argv.data(), environ) != 0) return;
    // Waits for the port; an nginx that lost the port to another process exits.
    for (int i = 0; i < 200; ++i) {
      if (Accepts(port_)) {
        pid_ = pid;
        return;
      }
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  fs::path prefix_;
  int port_ = 0;
  pid_t pid_ = -1;
};

std::string AllFindings(const updpub::CheckReport& report) {
  std::string text;
  for (const updpub::Finding& finding : report.findings) text += updpub::FindingLine(finding) + "\n";
  return text;
}

// A site published into www/main and mirrored to www/mirror, both listed as
// servers, with names the scheme must encode.
class NginxSite : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kNginx)) << "nginx is missing: scripts/setup installs it (apt-get install -y nginx)";
    fs::create_directories(www());
    nginx_ = std::make_unique<Nginx>(www());
    ASSERT_TRUE(nginx_->running()) << nginx_->Log();
    release_ = SmallRelease();
    release_[u8"中文 目录/文件 (1)&.dll"] = std::string(70000, 'z');
    WriteRelease(scratch_.path() / "release", release_);
    updpub::PublishOptions options = Options(scratch_.path() / "release", www() / "main", "2.0");
    options.utf8Urls = GetParam();
    options.servers = {{u8"主服务器", nginx_->Base() + "main/"}, {u8"镜像", nginx_->Base() + "mirror/"}};
    const updpub::PublishResult result = updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
    ASSERT_EQ(result.exitCode, updpub::kPublished);
    fs::copy(www() / "main", www() / "mirror", fs::copy_options::recursive);
  }

  fs::path www() const { return scratch_.path() / "www"; }

  updpub::CheckReport Check(std::optional<fs::path> installed = std::nullopt) {
    const auto http = updpub::MakeHttpGetter();
    return updpub::CheckSite(updpub::CheckOptions{nginx_->Base() + "main/", std::move(installed)}, *http);
  }

  ScratchFolder scratch_;
  std::unique_ptr<Nginx> nginx_;
  std::map<std::string, std::string> release_;
};

TEST_P(NginxSite, PublishedSiteChecksClean) {
  const updpub::CheckReport report = Check();
  EXPECT_TRUE(report.findings.empty()) << AllFindings(report);
  EXPECT_EQ(report.checked.size(), 3u);
}

TEST_P(NginxSite, TamperedSiteShowsEachFaultOnItsServer) {
  fs::remove(www() / "main" / "2.0" / "sub" / "b.dll");
  WriteBytes(www() / "mirror" / "2.0" / "a.txt", "tampered");
  const updpub::CheckReport report = Check();
  ASSERT_EQ(report.findings.size(), 2u) << AllFindings(report);
  EXPECT_EQ(report.findings[0].where, nginx_->Base() + "main/2.0/filelist.xml");
  EXPECT_NE(report.findings[0].text.find(u8"\"sub\\b.dll\" is missing on server \"主服务器\" (HTTP 404)"),
            std::string::npos)
      << report.findings[0].text;
  EXPECT_EQ(report.findings[1].where, nginx_->Base() + "mirror/2.0/filelist.xml");
  EXPECT_NE(report.findings[1].text.find(u8"\"a.txt\" on server \"镜像\" has CRC " + CrcHex("tampered")),
            std::string::npos)
      << report.findings[1].text;
  EXPECT_EQ(report.errors, 2);
}

TEST_P(NginxSite, InstalledFolderPlanCountsBytesFromTheServer) {
  ScratchFolder installed;
  WriteBytes(installed.path() / "a.txt", release_.at("a.txt"));
  WriteBytes(installed.path() / "short.txt", "changed");
  const updpub::CheckReport report = Check(installed.path());
  ASSERT_TRUE(report.plan.has_value());
  EXPECT_EQ(report.plan->files.size(), release_.size() - 1);
  uint64_t expected = 0;
  for (const auto& [name, content] : release_) expected += name == "a.txt" ? 0 : content.size();
  EXPECT_EQ(report.plan->bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(Schemes, NginxSite, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Utf8" : "Local"; });

}  // namespace

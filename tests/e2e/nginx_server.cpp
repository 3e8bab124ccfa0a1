#include "e2e/nginx_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "e2e/harness.h"
#include "e2e/host_files.h"

namespace e2e {
namespace {

constexpr char kDefaultNginx[] = "/usr/sbin/nginx";
constexpr char kDefaultCertificates[] = "/usr/local/share/updater-test-ca";
// coreutils' timeout ends the server once its lifetime is over, whatever
// became of the test; TERM is nginx's fast shutdown, KILL follows if needed.
constexpr char kTimeLimit[] = "/usr/bin/timeout";
constexpr char kKill[] = "/bin/kill";
constexpr char kRemove[] = "/bin/rm";
constexpr int kKillGraceS = 5;
constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kStartAttempts = 3;

std::atomic<int> folder_counter{0};

std::string ReadAll(const std::string& host_path) {
  std::ifstream in(WindowsPathOf(host_path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteAll(const std::string& host_path, const std::string& text) {
  std::ofstream out(WindowsPathOf(host_path), std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

bool Exists(const std::string& host_path) {
  return GetFileAttributesA(WindowsPathOf(host_path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFolder(const std::string& host_path) {
  return CreateDirectoryA(WindowsPathOf(host_path).c_str(), nullptr) != 0;
}

// Winsock for the length of one check.
class WinsockSession {
 public:
  WinsockSession() { ok_ = WSAStartup(MAKEWORD(2, 2), &data_) == 0; }
  ~WinsockSession() {
    if (ok_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool ok() const { return ok_; }

 private:
  WSADATA data_{};
  bool ok_ = false;
};

class Socket {
 public:
  explicit Socket(int family) : socket_(::socket(family, SOCK_STREAM, IPPROTO_TCP)) {}
  ~Socket() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return socket_; }
  bool valid() const { return socket_ != INVALID_SOCKET; }

 private:
  SOCKET socket_;
};

sockaddr_in Loopback4(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(port));
  return address;
}

sockaddr_in6 Loopback6(int port) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  address.sin6_port = htons(static_cast<u_short>(port));
  return address;
}

// `count` different ports of 127.0.0.1 that nobody listens on now; fewer
// when they cannot be found. The probes stay bound until all are found, so
// the system cannot hand out one port twice.
std::vector<int> FreePorts(size_t count) {
  std::vector<int> ports;
  WinsockSession winsock;
  if (!winsock.ok()) return ports;
  std::vector<std::unique_ptr<Socket>> probes;
  while (ports.size() < count) {
    probes.push_back(std::make_unique<Socket>(AF_INET));
    const Socket& probe = *probes.back();
    sockaddr_in address = Loopback4(0);
    int size = sizeof(address);
    if (!probe.valid() ||
        bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      break;
    }
    ports.push_back(ntohs(address.sin_port));
  }
  return ports;
}

// Whether ::1 can be listened on at `port`. A host that resolves "localhost"
// to ::1 first must find the https server there too.
bool Ipv6LoopbackFree(int port) {
  WinsockSession winsock;
  Socket probe(AF_INET6);
  if (!winsock.ok() || !probe.valid()) return false;
  sockaddr_in6 address = Loopback6(port);
  return bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

bool Answers(int port) {
  WinsockSession winsock;
  Socket client(AF_INET);
  if (!winsock.ok() || !client.valid()) return false;
  sockaddr_in address = Loopback4(port);
  return connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

std::string UniqueHostFolder() {
  return "/tmp/updater-e2e-nginx-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount()) + "-" + std::to_string(++folder_counter);
}

std::string CertificateFolder() {
  const std::string configured = EnvironmentText("UPDATER_TEST_CA");
  return configured.empty() ? kDefaultCertificates : configured;
}

}  // namespace

NginxServer::~NginxServer() { Stop(); }

std::string NginxServer::Executable() {
  const std::string configured = EnvironmentText("UPDATER_NGINX");
  return configured.empty() ? kDefaultNginx : configured;
}

bool NginxServer::Installed() { return Exists(Executable()); }

bool NginxServer::Start(const NginxOptions& options) {
  if (running_) return true;
  if (!Installed()) {
    error_ = "nginx not found at " + Executable();
    return false;
  }
  const std::string certificates = CertificateFolder();
  if (options.tls && !(Exists(certificates + "/localhost.crt") &&
                       Exists(certificates + "/localhost.key"))) {
    error_ = "no test certificate in " + certificates + " (scripts/setup makes it)";
    return false;
  }
  // A port found free may be taken before nginx binds it; then try others.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    Discard();
    folder_ = UniqueHostFolder();
    const size_t wanted = options.tls ? 2 : 1;
    const std::vector<int> ports = FreePorts(wanted);
    port_ = ports.size() == wanted ? ports[0] : 0;
    tls_port_ = options.tls && ports.size() == wanted ? ports[1] : 0;
    if (!MakeFolder(folder_) || !MakeFolder(folder_ + "/site") ||
        !MakeFolder(folder_ + "/temp") || ports.size() != wanted) {
      error_ = "cannot prepare " + folder_ + " or find a free port";
      continue;
    }
    const bool ipv6 = options.tls && Ipv6LoopbackFree(tls_port_);
    if (!WriteConfiguration(options, ipv6)) {
      error_ = "cannot write " + folder_ + "/nginx.conf";
      continue;
    }
    const std::string arguments =
        "-k " + std::to_string(kKillGraceS) + " " + std::to_string(options.lifetime_s) + " " +
        Executable() + " -p " + folder_ + "/ -c " + folder_ + "/nginx.conf -e " + folder_ +
        "/error.log";
    if (!StartHostProgram(kTimeLimit, arguments)) {
      error_ = "cannot start " + std::string(kTimeLimit);
      return false;
    }
    running_ = true;
    std::string failure;
    if (WaitUntilServing(&failure)) {
      error_.clear();
      return true;
    }
    error_ = "nginx did not start: " + failure;
  }
  Discard();
  return false;
}

bool NginxServer::WriteConfiguration(const NginxOptions& options, bool ipv6) const {
  const std::string tls_port = std::to_string(tls_port_);
  std::string text;
  text += "daemon off;\n";
  // One process, which keeps the user that started it: no worker switches
  // to an account that could not read the site.
  text += "master_process off;\n";
  text += "worker_processes 1;\n";
  text += "pid " + folder_ + "/nginx.pid;\n";
  text += "error_log " + folder_ + "/error.log notice;\n";
  text += "events { worker_connections 64; }\n";
  text += "http {\n";
  for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    text += std::string("  ") + kind + "_temp_path " + folder_ + "/temp/" + kind + ";\n";
  }
  // Every answer as bytes: the updater reads documents and files alike.
  text += "  types { }\n";
  text += "  default_type application/octet-stream;\n";
  // The decoded path, as the file was looked up, unescaped; last on the
  // line, since it may hold spaces.
  text += "  log_format e2e escape=none '$scheme $status $body_bytes_sent $uri';\n";
  text += "  access_log " + folder_ + "/access.log e2e;\n";
  text += "  server {\n";
  text += "    listen 127.0.0.1:" + std::to_string(port_) + ";\n";
  if (options.tls) {
    const std::string certificates = CertificateFolder();
    text += "    listen 127.0.0.1:" + tls_port + " ssl;\n";
    if (ipv6) text += "    listen [::1]:" + tls_port + " ssl;\n";
    text += "    server_name localhost;\n";
    text += "    ssl_certificate " + certificates + "/localhost.crt;\n";
    text += "    ssl_certificate_key " + certificates + "/localhost.key;\n";
  }
  text += "    root " + SiteFolder() + ";\n";
  if (!options.throttled_path.empty() && options.throttle_bytes_per_s > 0) {
    text += "    location = " + options.throttled_path + " { limit_rate " +
            std::to_string(options.throttle_bytes_per_s) + "; }\n";
  }
  text += "  }\n";
  text += "}\n";
  return WriteAll(folder_ + "/nginx.conf", text);
}

bool NginxServer::WaitUntilServing(std::string* failure) const {
  bool failed = false;
  const bool serving = WaitUntil(
      [&] {
        const std::string log = ReadAll(folder_ + "/error.log");
        if (log.find("[emerg]") != std::string::npos || log.find("[alert]") != std::string::npos) {
          *failure = log;
          failed = true;
          return true;
        }
        return Exists(folder_ + "/nginx.pid") && Answers(port_) &&
               (tls_port_ == 0 || Answers(tls_port_));
      },
      kStartTimeoutMs);
  if (!serving) *failure = "no answer within the time; log: " + ReadAll(folder_ + "/error.log");
  return serving && !failed;
}

void NginxServer::Stop() { Discard(); }

bool NginxServer::Signal(const char* signal) {
  const int number = std::atoi(ReadAll(folder_ + "/nginx.pid").c_str());
  if (!running_ || number <= 0) return false;
  const HostResult result = RunHostScript(std::string(kKill) + " " + signal + " " + std::to_string(number));
  return result.finished && result.status == 0;
}

bool NginxServer::Freeze() { return Signal("-STOP"); }
bool NginxServer::Thaw() { return Signal("-CONT"); }

// Ends the server and removes its folder. The GBK names the site may hold
// cannot be opened from here, so a host program removes it.
void NginxServer::Discard() {
  if (folder_.empty()) return;
  const std::string pid_file = folder_ + "/nginx.pid";
  if (running_) {
    const std::string pid = ReadAll(pid_file);
    const int number = std::atoi(pid.c_str());
    if (number > 0 && StartHostProgram(kKill, "-TERM " + std::to_string(number))) {
      WaitUntil([&] { return !Exists(pid_file); }, kStopTimeoutMs);
    }
    running_ = false;
  }
  StartHostProgram(kRemove, "-rf " + folder_);
  folder_.clear();
  port_ = tls_port_ = 0;
}

std::string NginxServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::string NginxServer::TlsUrl(std::string_view path) const {
  return "https://localhost:" + std::to_string(tls_port_) + std::string(path);
}

std::vector<ServedRequest> NginxServer::Requests() const {
  std::vector<ServedRequest> requests;
  if (folder_.empty()) return requests;
  std::istringstream log(ReadAll(folder_ + "/access.log"));
  std::string line;
  while (std::getline(log, line)) {
    std::istringstream fields(line);
    ServedRequest request;
    if (!(fields >> request.scheme >> request.status >> request.bytes) || fields.get() != ' ') continue;
    std::getline(fields, request.path);
    requests.push_back(request);
  }
  return requests;
}

}  // namespace e2e

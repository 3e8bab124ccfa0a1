#pragma once
// Debian's nginx as the update server of the end-to-end tests: a host child
// process on free ports of 127.0.0.1, with a configuration written for it in
// a temporary folder of its own (pid file, logs, temporary paths, the served
// site), needing no privilege. Ended in the destructor; a test that crashes
// cannot leave it behind, since it is started under a time limit.
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

struct NginxOptions {
  // Also serve https for the name "localhost", with the test certificate
  // that the test certificate authority signed.
  bool tls = false;
  // Requests of this path (as decoded, e.g. "/srv1/2.0/big.bin") are sent at
  // `throttle_bytes_per_s`, so that a download lasts long enough to be seen.
  std::string throttled_path;
  int throttle_bytes_per_s = 0;
  // Seconds after which the server ends by itself.
  int lifetime_s = 300;
};

// One answered request, from the access log.
struct ServedRequest {
  std::string scheme;  // "http" or "https"
  std::string path;    // percent-decoded: the bytes the file was looked up by
  int status = 0;
  long long bytes = 0;  // body bytes sent: short when the client left early
};

class NginxServer {
 public:
  NginxServer() = default;
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // The nginx executable (UPDATER_NGINX, else Debian's), a host path.
  static std::string Executable();
  // Whether Executable() exists: without it the cases cannot run at all.
  static bool Installed();

  // Writes the configuration and starts the server; waits until it answers.
  // On failure error() says why, with nginx's own log.
  bool Start(const NginxOptions& options);
  void Stop();
  // Freezes the server (SIGSTOP): connections stay open and nothing more is
  // sent, as on a link that stalled. Thaw lets it go on.
  bool Freeze();
  bool Thaw();
  const std::string& error() const { return error_; }

  // The served folder as a host path, without a trailing "/".
  std::string SiteFolder() const { return folder_ + "/site"; }
  // "http://127.0.0.1:<port>" + path, "https://localhost:<tls port>" + path.
  std::string Url(std::string_view path) const;
  std::string TlsUrl(std::string_view path) const;

  // Every request answered so far, oldest first.
  std::vector<ServedRequest> Requests() const;

 private:
  bool Signal(const char* signal);
  bool WriteConfiguration(const NginxOptions& options, bool ipv6) const;
  bool WaitUntilServing(std::string* failure) const;
  void Discard();

  std::string folder_;  // host path of the server's own folder
  int port_ = 0;
  int tls_port_ = 0;
  bool running_ = false;
  std::string error_;
};

}  // namespace e2e

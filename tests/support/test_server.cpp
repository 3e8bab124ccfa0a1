// A small HTTP server for the end-to-end tests: it serves fixture files from a
// folder on 127.0.0.1 and misbehaves on request. One request per connection
// (every answer says "Connection: close"), a thread per connection.
//
//   test_server --root DIR [--port N] [--port-file PATH] [--lifetime SECONDS]
//
// Port 0 (the default) picks a free port; the port is written to the
// --port-file, or printed when there is none. The server ends by itself after
// the lifetime (default 600 s) so that a crashed test cannot leave it behind.
//
// Files ending in ".xml" may hold the token @PORT@, replaced by the port when
// served: documents that name addresses of this server need it. Every other
// file is served byte for byte.
//
// Control requests (GET, never counted as hits):
//   /_control/set?path=P&fail_first=N&fail_status=S  next N requests of P get S
//                 &status=S                          every request of P gets S
//                 &stall_ms=T[&stall_after=B]        wait T ms before answering,
//                                                    or after the first B bytes
//                 &empty_body=1                      answer 200 with no body
//                 (a set also restarts the count of hits of P)
//   /_control/reset                                  forget rules and hit counts
//   /_control/hits?path=P                            requests of P so far
//   /_control/quit                                   end the server
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct Rule {
  int fail_first = 0;
  int fail_status = 500;
  int status = 0;  // 0: serve normally
  long stall_ms = 0;
  long stall_after = -1;  // body bytes sent before the stall; -1: before answering
  bool empty_body = false;
};

class State {
 public:
  // Counts a request of `path` and returns its 1-based number and the rule.
  std::pair<int, Rule> Hit(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    int number = ++hits_[path];
    auto it = rules_.find(path);
    return {number, it == rules_.end() ? Rule{} : it->second};
  }
  int Hits(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hits_.find(path);
    return it == hits_.end() ? 0 : it->second;
  }
  void SetRule(const std::string& path, const Rule& rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_[path] = rule;
    hits_[path] = 0;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
    hits_.clear();
  }
  void Quit() {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    wake_.notify_all();
  }
  bool quitting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return quit_;
  }
  // Sleeps up to `ms`; returns false when the server is quitting.
  bool SleepUnlessQuitting(long ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return quit_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  std::map<std::string, Rule> rules_;
  std::map<std::string, int> hits_;
};

struct Request {
  std::string method;
  std::string path;  // percent-decoded, without the query
  std::map<std::string, std::string> query;
};

struct Config {
  std::string root;
  int port = 0;
};

// Owns one socket.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool ReadFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *bytes = out.str();
  return static_cast<bool>(in) || in.eof();
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

std::string PercentDecode(const std::string& text, bool plus_is_space) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (text[i] == '+' && plus_is_space) {
      out += ' ';
    } else {
      out += text[i];
    }
  }
  return out;
}

// Reads the request head; the body of a GET, if any, is ignored.
bool ReadRequest(int fd, Request* request) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > 65536) return false;
    const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) return false;
    head.append(buffer, static_cast<size_t>(got));
  }
  std::istringstream line(head.substr(0, head.find("\r\n")));
  std::string target, version;
  if (!(line >> request->method >> target >> version)) return false;
  const size_t question = target.find('?');
  request->path = PercentDecode(target.substr(0, question), false);
  if (question == std::string::npos) return true;
  std::istringstream query(target.substr(question + 1));
  std::string pair;
  while (std::getline(query, pair, '&')) {
    const size_t equals = pair.find('=');
    request->query[PercentDecode(pair.substr(0, equals), true)] =
        equals == std::string::npos ? "" : PercentDecode(pair.substr(equals + 1), true);
  }
  return true;
}

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

// Sends a whole answer; with `stall_ms`, pauses after the first `stall_after`
// body bytes, as a transfer that stops in the middle does.
void Respond(int fd, State& state, int status, const std::string& type,
             const std::string& body, long stall_ms = 0, long stall_after = -1) {
  const std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
                           "\r\nContent-Type: " + type +
                           "\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nConnection: close\r\n\r\n";
  if (!SendAll(fd, head.data(), head.size())) return;
  size_t first = body.size();
  if (stall_ms > 0 && stall_after >= 0) {
    first = std::min(body.size(), static_cast<size_t>(stall_after));
  }
  if (!SendAll(fd, body.data(), first)) return;
  if (first < body.size() && state.SleepUnlessQuitting(stall_ms)) {
    SendAll(fd, body.data() + first, body.size() - first);
  }
}

long Number(const Request& request, const char* key, long fallback) {
  auto it = request.query.find(key);
  return it == request.query.end() ? fallback : std::atol(it->second.c_str());
}

void HandleControl(int fd, const Request& request, State& state) {
  const std::string command = request.path.substr(std::string("/_control/").size());
  auto path_it = request.query.find("path");
  const std::string path = path_it == request.query.end() ? "" : path_it->second;
  if (command == "set" && !path.empty()) {
    Rule rule;
    rule.fail_first = static_cast<int>(Number(request, "fail_first", 0));
    rule.fail_status = static_cast<int>(Number(request, "fail_status", 500));
    rule.status = static_cast<int>(Number(request, "status", 0));
    rule.stall_ms = Number(request, "stall_ms", 0);
    rule.stall_after = Number(request, "stall_after", -1);
    rule.empty_body = Number(request, "empty_body", 0) != 0;
    state.SetRule(path, rule);
    Respond(fd, state, 200, "text/plain", "ok\n");
  } else if (command == "reset") {
    state.Reset();
    Respond(fd, state, 200, "text/plain", "ok\n");
  } else if (command == "hits" && !path.empty()) {
    Respond(fd, state, 200, "text/plain", std::to_string(state.Hits(path)) + "\n");
  } else if (command == "quit") {
    Respond(fd, state, 200, "text/plain", "bye\n");
    state.Quit();
  } else {
    Respond(fd, state, 400, "text/plain", "unknown control request\n");
  }
}

void HandleFile(int fd, const Request& request, State& state, const Config& config) {
  const auto [number, rule] = state.Hit(request.path);
  if (rule.stall_ms > 0 && rule.stall_after < 0 &&
      !state.SleepUnlessQuitting(rule.stall_ms)) {
    return;  // quitting: the connection just closes
  }
  if (number <= rule.fail_first || rule.status != 0) {
    const int status = number <= rule.fail_first ? rule.fail_status : rule.status;
    Respond(fd, state, status, "text/html", "<html><body>refused</body></html>");
    return;
  }
  if (rule.empty_body) {
    Respond(fd, state, 200, "application/octet-stream", "");
    return;
  }
  std::string body;
  if (request.path.find("..") != std::string::npos ||
      !ReadFile(config.root + request.path, &body)) {
    Respond(fd, state, 404, "text/html", "<html><body>not found</body></html>");
    return;
  }
  const bool xml = EndsWith(request.path, ".xml");
  if (xml) ReplaceAll(&body, "@PORT@", std::to_string(config.port));
  Respond(fd, state, 200, xml ? "application/xml" : "application/octet-stream", body,
          rule.stall_ms, rule.stall_after);
}

void ServeConnection(int raw_fd, State& state, const Config& config) {
  Socket connection(raw_fd);
  timeval timeout{10, 0};
  setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  Request request;
  if (!ReadRequest(connection.get(), &request)) return;
  if (request.method != "GET") {
    Respond(connection.get(), state, 405, "text/plain", "GET only\n");
  } else if (request.path.rfind("/_control/", 0) == 0) {
    HandleControl(connection.get(), request, state);
  } else {
    HandleFile(connection.get(), request, state, config);
  }
  shutdown(connection.get(), SHUT_WR);
}

int Usage() {
  std::cerr << "usage: test_server --root DIR [--port N] [--port-file PATH]"
               " [--lifetime SECONDS]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Connection threads are detached and may outlive main: what they share is
  // never freed.
  Config& config = *new Config;
  State& state = *new State;
  std::string port_file;
  long lifetime_s = 600;
  if (argc % 2 == 0) return Usage();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--root") config.root = value;
    else if (key == "--port") config.port = std::atoi(value.c_str());
    else if (key == "--port-file") port_file = value;
    else if (key == "--lifetime") lifetime_s = std::atol(value.c_str());
    else return Usage();
  }
  if (config.root.empty()) return Usage();
  while (config.root.size() > 1 && config.root.back() == '/') config.root.pop_back();

  Socket listener(socket(AF_INET, SOCK_STREAM, 0));
  const int yes = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(config.port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener.get() < 0 ||
      bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener.get(), 64) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("test_server");
    return 1;
  }
  config.port = ntohs(address.sin_port);

  if (!port_file.empty()) {
    // Written whole under another name first, so a reader never sees half.
    const std::string partial = port_file + ".partial";
    {
      std::ofstream out(partial, std::ios::trunc);
      out << config.port << "\n";
    }
    std::rename(partial.c_str(), port_file.c_str());
  } else {
    std::cout << config.port << std::endl;
  }

  // Ends the server on quit or at the end of its lifetime: closing the
  // listening socket's reading side wakes the accept below. A connection
  // thread that is still busy does not keep the process alive.
  std::thread([&state, &listener, lifetime_s] {
    state.SleepUnlessQuitting(lifetime_s * 1000);
    state.Quit();
    shutdown(listener.get(), SHUT_RDWR);
  }).detach();

  while (!state.quitting()) {
    const int fd = accept(listener.get(), nullptr, nullptr);
    if (fd < 0) continue;
    std::thread(ServeConnection, fd, std::ref(state), std::cref(config)).detach();
  }
  // Lets an answer to /_control/quit leave before the process ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return 0;
}

// A small HTTP server for the end-to-end tests: it serves fixture files from a
// folder on 127.0.0.1 and misbehaves on request.
//
//   test_server --root DIR [--port N] [--port-file PATH] [--lifetime SECONDS]
//
// Port 0 (the default) picks a free port; the port is written to the
// --port-file, or printed when there is none. The server ends by itself after the
// lifetime (default 600 s) so that a crashed test cannot leave it behind.
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
//                   [&stall_first=N]                 only in the next N requests
//                 &empty_body=1                      answer 200 with no body
//                 &extra_length=K                    announce K bytes more than
//                                                    the file holds, send the
//                                                    file, then close
//                 (a set also restarts the count of hits of P)
//   /_control/reset                                  forget rules and hit counts
//   /_control/hits?path=P                            requests of P so far
//   /_control/quit                                   end the server
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  long stall_after = -1;  // bytes sent before the stall; -1: before answering
  int stall_first = 0;    // requests that stall; 0: every one
  bool empty_body = false;
  long extra_length = 0;  // announced beyond the body, never sent
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
  return true;
}

void ReplaceAll(std::string* text, const std::string& from,
                const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

long Number(const httplib::Request& req, const char* key, long fallback) {
  return req.has_param(key) ? std::atol(req.get_param_value(key).c_str())
                            : fallback;
}

void HandleControl(const httplib::Request& req, httplib::Response& res,
                   State& state) {
  const std::string command = req.path.substr(std::strlen("/_control/"));
  const std::string path = req.get_param_value("path");
  if (command == "set" && !path.empty()) {
    Rule rule;
    rule.fail_first = static_cast<int>(Number(req, "fail_first", 0));
    rule.fail_status = static_cast<int>(Number(req, "fail_status", 500));
    rule.status = static_cast<int>(Number(req, "status", 0));
    rule.stall_ms = Number(req, "stall_ms", 0);
    rule.stall_after = Number(req, "stall_after", -1);
    rule.stall_first = static_cast<int>(Number(req, "stall_first", 0));
    rule.empty_body = Number(req, "empty_body", 0) != 0;
    rule.extra_length = std::max(0L, Number(req, "extra_length", 0));
    state.SetRule(path, rule);
    res.set_content("ok\n", "text/plain");
  } else if (command == "reset") {
    state.Reset();
    res.set_content("ok\n", "text/plain");
  } else if (command == "hits" && !path.empty()) {
    res.set_content(std::to_string(state.Hits(path)) + "\n", "text/plain");
  } else if (command == "quit") {
    res.set_content("bye\n", "text/plain");
    state.Quit();
  } else {
    res.status = 400;
    res.set_content("unknown control request\n", "text/plain");
  }
}

void HandleFile(const httplib::Request& req, httplib::Response& res,
                State& state, const std::string& root, int port) {
  auto [number, rule] = state.Hit(req.path);
  if (rule.stall_first > 0 && number > rule.stall_first) rule.stall_ms = 0;
  if (rule.stall_ms > 0 && rule.stall_after < 0 &&
      !state.SleepUnlessQuitting(rule.stall_ms)) {
    res.status = 503;
    return;
  }
  if (number <= rule.fail_first || rule.status != 0) {
    res.status = number <= rule.fail_first ? rule.fail_status : rule.status;
    res.set_content("<html><body>refused</body></html>", "text/html");
    return;
  }
  if (rule.empty_body) {
    res.set_content("", "application/octet-stream");
    return;
  }
  std::string body;
  if (req.path.find("..") != std::string::npos ||
      !ReadFile(root + req.path, &body)) {
    res.status = 404;
    res.set_content("<html><body>not found</body></html>", "text/html");
    return;
  }
  const bool xml = EndsWith(req.path, ".xml");
  if (xml) ReplaceAll(&body, "@PORT@", std::to_string(port));
  const char* type = xml ? "application/xml" : "application/octet-stream";
  if (rule.stall_ms <= 0 && rule.extra_length == 0) {
    res.set_content(body, type);
    return;
  }
  // A transfer that stops after its first bytes: the length is announced,
  // part of the body is sent, then nothing until the stall ends. A length
  // announced beyond the body ends in a closed connection instead of the
  // missing bytes.
  const bool mid_body = rule.stall_ms > 0 && rule.stall_after >= 0;
  const size_t head =
      mid_body ? std::min(body.size(), static_cast<size_t>(rule.stall_after))
               : body.size();
  const long stall_ms = mid_body ? rule.stall_ms : 0;
  res.set_content_provider(
      body.size() + static_cast<size_t>(rule.extra_length), type,
      [body, head, stall_ms, &state](size_t offset, size_t,
                                     httplib::DataSink& sink) {
        if (offset < head) {
          return sink.write(body.data() + offset, head - offset);
        }
        if (offset == head && stall_ms > 0 &&
            !state.SleepUnlessQuitting(stall_ms)) {
          return false;
        }
        // Returning false makes the server drop the connection.
        if (offset >= body.size()) return false;
        return sink.write(body.data() + offset, body.size() - offset);
      });
}

int Usage() {
  std::cerr << "usage: test_server --root DIR [--port N] [--port-file PATH]"
               " [--lifetime SECONDS]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root, port_file;
  int port = 0;
  long lifetime_s = 600;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--root") root = value;
    else if (key == "--port") port = std::atoi(value.c_str());
    else if (key == "--port-file") port_file = value;
    else if (key == "--lifetime") lifetime_s = std::atol(value.c_str());
    else return Usage();
  }
  if (root.empty() || argc % 2 == 0) return Usage();
  while (root.size() > 1 && root.back() == '/') root.pop_back();

  httplib::Server server;
  server.set_keep_alive_timeout(1);
  State state;
  const char* host = "127.0.0.1";
  if (port == 0) {
    port = server.bind_to_any_port(host);
  } else if (!server.bind_to_port(host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::cerr << "test_server: cannot bind\n";
    return 1;
  }

  server.Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    if (req.path.rfind("/_control/", 0) == 0) {
      HandleControl(req, res, state);
    } else {
      HandleFile(req, res, state, root, port);
    }
  });

  if (!port_file.empty()) {
    // Written whole under another name first, so a reader never sees half.
    const std::string partial = port_file + ".partial";
    {
      std::ofstream out(partial, std::ios::trunc);
      out << port << "\n";
    }
    std::rename(partial.c_str(), port_file.c_str());
  }
  if (port_file.empty()) std::cout << port << std::endl;

  // Ends the server on quit or at the end of its lifetime; a stop that hangs
  // on a stuck connection ends the process anyway.
  std::thread([&server, &state, lifetime_s] {
    state.SleepUnlessQuitting(lifetime_s * 1000);
    state.Quit();
    server.stop();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::_Exit(0);
  }).detach();

  server.listen_after_bind();
  return 0;
}

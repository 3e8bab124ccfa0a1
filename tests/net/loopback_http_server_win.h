#pragma once
// A tiny HTTP server on 127.0.0.1 for the network tests: it answers each
// request with the next scripted response (the last one repeats), closes the
// connection after every answer and counts what it was asked.
//
// The test executable is not linked with ws2_32, so the few socket functions
// it needs are looked up at run time.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

// One HTTP/1.1 response with a Content-Length and "Connection: close".
inline std::string HttpResponse(int status, const std::string& body) {
  char head[160];
  std::snprintf(head, sizeof head,
                "HTTP/1.1 %d Scripted\r\nContent-Type: application/octet-stream\r\n"
                "Content-Length: %u\r\nConnection: close\r\n\r\n",
                status, static_cast<unsigned>(body.size()));
  return head + body;
}

class Winsock {
 public:
  Winsock() : module_(LoadLibraryW(L"ws2_32.dll")) {
    if (module_ == nullptr) return;
    ok_ = Load(startup, "WSAStartup") && Load(cleanup, "WSACleanup") && Load(socket, "socket") &&
          Load(bind, "bind") && Load(listen, "listen") && Load(accept, "accept") &&
          Load(recv, "recv") && Load(send, "send") && Load(shutdown, "shutdown") &&
          Load(closesocket, "closesocket") && Load(getsockname, "getsockname") &&
          Load(select, "select") && Load(setsockopt, "setsockopt") && Load(htons, "htons") &&
          Load(ntohs, "ntohs") && Load(htonl, "htonl");
    WSADATA data;
    ok_ = ok_ && startup(MAKEWORD(2, 2), &data) == 0;
    started_ = ok_;
  }
  ~Winsock() {
    if (started_) cleanup();
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
  bool Ok() const { return ok_; }

  decltype(&::WSAStartup) startup = nullptr;
  decltype(&::WSACleanup) cleanup = nullptr;
  decltype(&::socket) socket = nullptr;
  decltype(&::bind) bind = nullptr;
  decltype(&::listen) listen = nullptr;
  decltype(&::accept) accept = nullptr;
  decltype(&::recv) recv = nullptr;
  decltype(&::send) send = nullptr;
  decltype(&::shutdown) shutdown = nullptr;
  decltype(&::closesocket) closesocket = nullptr;
  decltype(&::getsockname) getsockname = nullptr;
  decltype(&::select) select = nullptr;
  decltype(&::setsockopt) setsockopt = nullptr;
  decltype(&::htons) htons = nullptr;
  decltype(&::ntohs) ntohs = nullptr;
  decltype(&::htonl) htonl = nullptr;

 private:
  template <class F>
  bool Load(F& function, const char* name) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    return function != nullptr;
  }

  HMODULE module_;
  bool ok_ = false;
  bool started_ = false;
};

class Socket {
 public:
  Socket(const Winsock& ws, SOCKET s) : ws_(&ws), s_(s) {}
  ~Socket() {
    if (s_ != INVALID_SOCKET) ws_->closesocket(s_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& other) noexcept : ws_(other.ws_), s_(std::exchange(other.s_, INVALID_SOCKET)) {}
  SOCKET Get() const { return s_; }
  bool Valid() const { return s_ != INVALID_SOCKET; }

 private:
  const Winsock* ws_;
  SOCKET s_;
};

// A listening socket on 127.0.0.1 with a port chosen by the system.
inline Socket ListenOnLoopback(const Winsock& ws, unsigned short* port) {
  Socket listener(ws, ws.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!listener.Valid()) return listener;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ws.htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof address;
  if (ws.bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ws.listen(listener.Get(), SOMAXCONN) != 0 ||
      ws.getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Socket(ws, INVALID_SOCKET);
  }
  *port = ws.ntohs(address.sin_port);
  return listener;
}

class LoopbackHttpServer {
 public:
  explicit LoopbackHttpServer(std::vector<std::string> responses)
      : responses_(std::move(responses)), listener_(ListenOnLoopback(ws_, &port_)) {
    if (ws_.Ok() && listener_.Valid() && !responses_.empty()) {
      thread_ = std::thread([this] { Serve(); });
    }
  }
  ~LoopbackHttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  bool Running() const { return thread_.joinable(); }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int Requests() const { return requests_; }
  std::vector<std::string> RequestLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestLines_;
  }

 private:
  void Serve() {
    while (!stop_) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(listener_.Get(), &readable);
      timeval wait{0, 20 * 1000};
      if (ws_.select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
      Socket client(ws_, ws_.accept(listener_.Get(), nullptr, nullptr));
      if (client.Valid()) Answer(client);
    }
  }

  void Answer(const Socket& client) {
    const DWORD timeoutMs = 5000;
    ws_.setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                   sizeof timeoutMs);
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const int got = ws_.recv(client.Get(), buffer, sizeof buffer, 0);
      if (got <= 0) return;
      request.append(buffer, static_cast<size_t>(got));
    }
    const int index = requests_++;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requestLines_.push_back(request.substr(0, request.find("\r\n")));
    }
    const std::string& response =
        responses_[std::min(static_cast<size_t>(index), responses_.size() - 1)];
    size_t sent = 0;
    while (sent < response.size()) {
      const int put = ws_.send(client.Get(), response.data() + sent,
                               static_cast<int>(response.size() - sent), 0);
      if (put <= 0) return;
      sent += static_cast<size_t>(put);
    }
    // Let the client read everything before the connection goes away.
    ws_.shutdown(client.Get(), SD_SEND);
    while (ws_.recv(client.Get(), buffer, sizeof buffer, 0) > 0) {
    }
  }

  Winsock ws_;
  std::vector<std::string> responses_;
  unsigned short port_ = 0;
  Socket listener_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requestLines_;
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens: bound once, then let go.
inline unsigned short UnusedLoopbackPort() {
  Winsock ws;
  unsigned short port = 0;
  if (ws.Ok()) ListenOnLoopback(ws, &port);
  return port;
}

}  // namespace test_support

#pragma once
// Downloads over WinINet: one internet session for a whole run and at most one
// open request at a time. Used by one worker thread; only Cancel may be
// called from another thread.
#include <windows.h>
#include <wininet.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace net {

// Headers of an answer that a download looks at; "" where absent.
struct AnswerHeaders {
  int status = 0;  // 0 when it cannot be read
  std::string contentRange;
  std::string etag;
  std::string lastModified;
};

class HttpClient {
 public:
  // Opens the session (no proxy, the program's agent text). A session that
  // could not be opened makes every Open fail.
  HttpClient();
  ~HttpClient() { Release(); }
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Opens url, closing the request opened before. "\" becomes "/", and an
  // address without "http://" or "https://" gets "http://"; url receives the
  // address opened. A non-empty cookies text is sent as the Cookie header;
  // when the response sets cookies, cookies receives their name=value parts
  // joined by "; ". Returns the Content-Length, 0 without one, -1 when
  // nothing could be opened or the length is unusable.
  int32_t Open(std::string& url, std::string& cookies);
  // As Open without cookies, sending extraHeaders (lines each ending in
  // CRLF) and filling answer from what the server answered.
  int32_t Open(std::string& url, const std::string& extraHeaders, AnswerHeaders& answer);
  // Up to size bytes of the open request's body; 0 at its end, on failure, or
  // with no request open.
  size_t Read(void* buffer, size_t size);
  // Closes the open request, discarding what is unread of it; the session
  // stays for the next Open.
  void CloseRequest();
  // Closes the request and the session.
  void Release();
  // From any thread: closes both handles and makes every later call fail.
  // On Windows that breaks a blocking Open or Read; Wine's WinINet lets such
  // a call go on until the server answers or closes.
  void Cancel();

 private:
  HINTERNET Request() const;
  void CollectCookies(HINTERNET request, std::string& cookies) const;
  int32_t ContentLength(HINTERNET request) const;
  HINTERNET OpenRequest(std::string& url, const std::string& headers);

  mutable std::mutex mutex_;  // guards the two handles against Cancel
  HINTERNET session_ = nullptr;
  HINTERNET request_ = nullptr;
  bool cancelled_ = false;
};

}  // namespace net

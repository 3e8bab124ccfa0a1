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

// How long a request waits for the server at any one step: connecting,
// sending, and each receive of the headers or the body. Well above the
// download watchdog's stall limit, so that the watchdog still ends a stalled
// transfer; the bound ends a read that the watchdog's Cancel cannot break
// (Wine's), so that no stopped worker lives on for longer. A value in
// milliseconds in the environment variable UPDATER_RECEIVE_TIMEOUT_MS may
// shorten it, down to kShortestRequestTimeoutMs, for tests.
inline constexpr DWORD kRequestTimeoutMs = 60000;
inline constexpr DWORD kShortestRequestTimeoutMs = 1000;
DWORD RequestTimeoutMs();

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
  // a call go on until the server answers, closes or RequestTimeoutMs passes.
  void Cancel();

 private:
  HINTERNET Request() const;
  void CollectCookies(HINTERNET request, std::string& cookies) const;
  int32_t ContentLength(HINTERNET request) const;
  HINTERNET OpenRequest(std::string& url, const std::string& headers);

  // Takes handle as the open one unless Cancel came first (then closes it).
  bool Keep(HINTERNET& slot, HINTERNET handle);

  mutable std::mutex mutex_;  // guards the handles against Cancel
  HINTERNET session_ = nullptr;
  HINTERNET connection_ = nullptr;  // the server of the open request
  HINTERNET request_ = nullptr;
  bool cancelled_ = false;
};

}  // namespace net

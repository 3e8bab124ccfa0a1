#include "net/http_client_win.h"

#include <utility>
#include <vector>

#include "base/byte_text.h"
#include "base/trace.h"
#include "base/wide_text_win.h"
#include "net/content_length.h"

namespace net {
namespace {

constexpr wchar_t kAgent[] = L"G.WinInet 1.1";
// Nothing goes into the cache: every byte is already written once, to the
// staging folder, and the cache would be the elevated account's.
constexpr DWORD kOpenUrlFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_CACHE_WRITE;
constexpr char kHttpScheme[] = "http://";
constexpr char kHttpsScheme[] = "https://";
constexpr char kCookieHeader[] = "Cookie:";
constexpr char kCookieSeparator[] = "; ";
constexpr char kBadLengthTrace[] = "文件长度无效:";

bool StartsWithScheme(const std::string& url, std::string_view scheme) {
  if (url.size() < scheme.size()) return false;
  return base::AsciiLower(std::string_view(url).substr(0, scheme.size()), base::kDocumentFirstLeadByte) ==
         scheme;
}

// Only http and https are opened as they stand; anything else is taken for
// a host name.
std::string NormalisedUrl(std::string url) {
  for (char& c : url) {
    if (c == '\\') c = '/';
  }
  if (!StartsWithScheme(url, kHttpScheme) && !StartsWithScheme(url, kHttpsScheme)) url.insert(0, kHttpScheme);
  return url;
}

// One response header as text; "" when the answer has none.
std::string HeaderText(HINTERNET request, DWORD info) {
  DWORD size = 0;
  std::wstring text;
  if (!HttpQueryInfoW(request, info, nullptr, &size, nullptr) && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    text.resize(size / sizeof(wchar_t) + 1);
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (HttpQueryInfoW(request, info, text.data(), &size, nullptr)) {
      text.resize(size / sizeof(wchar_t));
    } else {
      text.clear();
    }
  }
  return base::GbkFromWide(text);
}

void CloseInternetHandle(HINTERNET& handle) {
  if (handle) InternetCloseHandle(handle);
  handle = nullptr;
}

}  // namespace

HttpClient::HttpClient() {
  session_ = InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, L"", L"", 0);
}

// Opens url with the given request header lines; null when nothing opened.
HINTERNET HttpClient::OpenRequest(std::string& url, const std::string& headers) {
  HINTERNET session = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_ || !session_) return nullptr;
    CloseInternetHandle(request_);
    session = session_;
  }
  url = NormalisedUrl(std::move(url));
  const std::wstring wide = base::WideFromGbk(headers);
  // Blocks without the lock, so that Cancel can close the session under it.
  HINTERNET request = InternetOpenUrlW(session, base::WideFromGbk(url).c_str(),
                                       wide.empty() ? nullptr : wide.c_str(),
                                       static_cast<DWORD>(wide.size()), kOpenUrlFlags, 0);
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_) {
    CloseInternetHandle(request);
    return nullptr;
  }
  request_ = request;
  return request;
}

int32_t HttpClient::Open(std::string& url, std::string& cookies) {
  HINTERNET request = OpenRequest(url, cookies.empty() ? std::string() : kCookieHeader + cookies);
  if (!request) return -1;
  CollectCookies(request, cookies);
  return ContentLength(request);
}

int32_t HttpClient::Open(std::string& url, const std::string& extraHeaders, AnswerHeaders& answer) {
  answer = AnswerHeaders{};
  HINTERNET request = OpenRequest(url, extraHeaders);
  if (!request) return -1;
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
    answer.status = static_cast<int>(status);
  }
  answer.contentRange = HeaderText(request, HTTP_QUERY_CONTENT_RANGE);
  answer.etag = HeaderText(request, HTTP_QUERY_ETAG);
  answer.lastModified = HeaderText(request, HTTP_QUERY_LAST_MODIFIED);
  return ContentLength(request);
}

void HttpClient::CollectCookies(HINTERNET request, std::string& cookies) const {
  std::string collected;
  std::vector<wchar_t> buffer(1);
  DWORD index = 0;
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (HttpQueryInfoW(request, HTTP_QUERY_SET_COOKIE, buffer.data(), &size, &index)) {
      std::string value = base::GbkFromWide(std::wstring_view(buffer.data(), size / sizeof(wchar_t)));
      const size_t semicolon = value.find(';');
      if (semicolon != std::string::npos) value.resize(semicolon);
      collected += value + kCookieSeparator;
      continue;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    buffer.resize(size / sizeof(wchar_t) + 1);
  }
  if (!collected.empty()) cookies = collected.substr(0, collected.size() - (sizeof(kCookieSeparator) - 1));
}

int32_t HttpClient::ContentLength(HINTERNET request) const {
  const std::string length = HeaderText(request, HTTP_QUERY_CONTENT_LENGTH);
  const auto parsed = ParseContentLength(length);
  if (!parsed) {
    base::Trace(kBadLengthTrace + length);
    return -1;
  }
  return *parsed;
}

HINTERNET HttpClient::Request() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_ ? nullptr : request_;
}

size_t HttpClient::Read(void* buffer, size_t size) {
  HINTERNET request = Request();
  if (!request) return 0;
  DWORD got = 0;
  // Whether the call reports success does not matter: what counts is what
  // arrived. A Cancel on another thread makes a blocked call return.
  InternetReadFile(request, buffer, static_cast<DWORD>(size), &got);
  return got;
}

void HttpClient::CloseRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseInternetHandle(request_);
}

void HttpClient::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseInternetHandle(request_);
  CloseInternetHandle(session_);
}

void HttpClient::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  CloseInternetHandle(request_);
  CloseInternetHandle(session_);
}

}  // namespace net

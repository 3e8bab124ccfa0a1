#include "net/http_client_win.h"

#include <cstdlib>
#include <string>
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
constexpr char kTimeoutVariable[] = "UPDATER_RECEIVE_TIMEOUT_MS";
constexpr wchar_t kGet[] = L"GET";
constexpr wchar_t kRootPath[] = L"/";
// What InternetOpenUrl would accept.
constexpr const wchar_t* kAcceptAnything[] = {L"*/*", nullptr};
// Wine applies a time-out only when it is set on the request before it is
// sent (not on the session, and not through InternetOpenUrl); Windows takes
// it there too.
constexpr DWORD kTimeoutOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                     INTERNET_OPTION_RECEIVE_TIMEOUT};

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

// The parts of an address that a connection and its request are opened
// with; false when it cannot be split.
struct UrlParts {
  std::wstring host;
  std::wstring user;
  std::wstring password;
  std::wstring path;  // with the query
  INTERNET_PORT port = 0;
  bool secure = false;
};

bool SplitUrl(const std::wstring& url, UrlParts& parts) {
  URL_COMPONENTSW components{};
  components.dwStructSize = sizeof(components);
  // Non-zero lengths ask for pointers into url.
  components.dwHostNameLength = components.dwUserNameLength = components.dwPasswordLength =
      components.dwUrlPathLength = components.dwExtraInfoLength = 1;
  if (!InternetCrackUrlW(url.c_str(), 0, 0, &components) || !components.lpszHostName) return false;
  const auto part = [](const wchar_t* text, DWORD length) {
    return text ? std::wstring(text, length) : std::wstring();
  };
  parts.host = part(components.lpszHostName, components.dwHostNameLength);
  parts.user = part(components.lpszUserName, components.dwUserNameLength);
  parts.password = part(components.lpszPassword, components.dwPasswordLength);
  parts.path = part(components.lpszUrlPath, components.dwUrlPathLength) +
               part(components.lpszExtraInfo, components.dwExtraInfoLength);
  if (parts.path.empty()) parts.path = kRootPath;
  parts.port = components.nPort;
  parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

const wchar_t* OrNull(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

DWORD RequestTimeoutMs() {
  static const DWORD timeout = [] {
    char text[16] = {};
    const DWORD length = GetEnvironmentVariableA(kTimeoutVariable, text, sizeof(text));
    if (length == 0 || length >= sizeof(text)) return kRequestTimeoutMs;
    const unsigned long value = std::strtoul(text, nullptr, 10);
    return value >= kShortestRequestTimeoutMs && value < kRequestTimeoutMs ? static_cast<DWORD>(value)
                                                                           : kRequestTimeoutMs;
  }();
  return timeout;
}

HttpClient::HttpClient() {
  session_ = InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, L"", L"", 0);
}

bool HttpClient::Keep(HINTERNET& slot, HINTERNET handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_) {
    CloseInternetHandle(handle);
    return false;
  }
  slot = handle;
  return true;
}

// Opens url with the given request header lines; null when nothing opened.
// The steps InternetOpenUrl takes, one by one, so that the time-outs are set
// on the request before it is sent.
HINTERNET HttpClient::OpenRequest(std::string& url, const std::string& headers) {
  HINTERNET session = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_ || !session_) return nullptr;
    CloseInternetHandle(request_);
    CloseInternetHandle(connection_);
    session = session_;
  }
  url = NormalisedUrl(std::move(url));
  UrlParts parts;
  if (!SplitUrl(base::WideFromGbk(url), parts)) return nullptr;
  HINTERNET connection = InternetConnectW(session, parts.host.c_str(), parts.port, OrNull(parts.user),
                                          OrNull(parts.password), INTERNET_SERVICE_HTTP, 0, 0);
  if (!connection || !Keep(connection_, connection)) return nullptr;
  const DWORD flags = kOpenUrlFlags | (parts.secure ? INTERNET_FLAG_SECURE : 0);
  HINTERNET request = HttpOpenRequestW(connection, kGet, parts.path.c_str(), nullptr, nullptr,
                                       const_cast<const wchar_t**>(kAcceptAnything), flags, 0);
  if (!request) return nullptr;
  DWORD timeout = RequestTimeoutMs();
  for (const DWORD option : kTimeoutOptions) InternetSetOptionW(request, option, &timeout, sizeof(timeout));
  if (!Keep(request_, request)) return nullptr;
  const std::wstring wide = base::WideFromGbk(headers);
  // Blocks without the lock, so that Cancel can close the handles under it.
  const bool sent = HttpSendRequestW(request, wide.empty() ? nullptr : wide.c_str(),
                                     static_cast<DWORD>(wide.size()), nullptr, 0);
  std::lock_guard<std::mutex> lock(mutex_);
  return sent && !cancelled_ ? request : nullptr;
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
  CloseInternetHandle(connection_);
}

void HttpClient::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseInternetHandle(request_);
  CloseInternetHandle(connection_);
  CloseInternetHandle(session_);
}

void HttpClient::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  CloseInternetHandle(request_);
  CloseInternetHandle(connection_);
  CloseInternetHandle(session_);
}

}  // namespace net

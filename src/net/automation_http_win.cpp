#include "net/automation_http_win.h"

#include <cmath>
#include <string>

#include "net/automation_object_win.h"

namespace net {
namespace {

constexpr char kRequestProgId[] = "WinHttp.WinHttpRequest.5.1";

// Time-outs in milliseconds, in the order SetTimeouts takes them.
constexpr std::int32_t kResolveTimeoutMs = 6000;
constexpr std::int32_t kConnectTimeoutMs = 6000;
constexpr std::int32_t kSendTimeoutMs = 15000;
constexpr std::int32_t kReceiveTimeoutMs = 10000;

// Attempts follow each other without a pause; the time-outs bound the wait.
constexpr int kMaxAttempts = 5;
constexpr double kStatusOk = 200.0;
constexpr double kStatusTolerance = 1e-7;

// The request object's Option property and the protocol bits of its
// SecureProtocols entry.
constexpr char kOption[] = "Option";
constexpr std::int32_t kSecureProtocolsOption = 9;
constexpr std::int32_t kTls1 = 0x80;
constexpr std::int32_t kTls11 = 0x200;
constexpr std::int32_t kTls12 = 0x800;

bool IsStatusOk(double status) { return std::fabs(status - kStatusOk) < kStatusTolerance; }

// Windows 7 offers only TLS 1.0 to this object unless asked for more, and
// many servers refuse that. Protocols the system already offers are kept
// (TLS 1.3 among them), so nothing is narrowed; a system without TLS 1.2
// refuses the setting and goes on as before.
void AllowTls12(AutomationObject& request) {
  const double offered = request.GetNumber(kOption, {AutomationArg::Int32(kSecureProtocolsOption)});
  const auto protocols = SUCCEEDED(request.LastResult()) ? static_cast<std::int32_t>(offered) : kTls1;
  if (protocols & kTls12) return;
  request.SetProperty(kOption, {AutomationArg::Int32(kSecureProtocolsOption),
                                AutomationArg::Int32(protocols | kTls11 | kTls12)});
}

}  // namespace

HttpGetResult AutomationHttpGet(std::string_view url) {
  HttpGetResult result;
  AutomationObject request;
  if (!request.Create(kRequestProgId)) return result;

  request.CallMethod("SetTimeouts",
                     {AutomationArg::Int32(kResolveTimeoutMs), AutomationArg::Int32(kConnectTimeoutMs),
                      AutomationArg::Int32(kSendTimeoutMs), AutomationArg::Int32(kReceiveTimeoutMs)});
  AllowTls12(request);

  // A failed Open shows as a failed Send. A Send that failed after the
  // headers had arrived (the body stalled past the receive time-out) still
  // reads status 200, and its body must not be read: it fails the attempt.
  bool received = false;
  for (int attempt = 0; attempt < kMaxAttempts && !received; ++attempt) {
    request.CallMethod("Open", {AutomationArg::Text("GET"), AutomationArg::Text(std::string(url)),
                                AutomationArg::Bool(false)});
    request.CallMethod("Send");
    received = SUCCEEDED(request.LastResult()) && IsStatusOk(request.GetNumber("Status"));
  }

  if (received) {
    base::VariantHolder body = request.GetValue("ResponseBody");
    if (SUCCEEDED(request.LastResult())) {
      result.body = VariantToBytes(body.Get());
      result.ok = true;
    }
  }
  request.Release();
  return result;
}

}  // namespace net

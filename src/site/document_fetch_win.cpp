#include "site/document_fetch_win.h"

#include "base/scoped_com_win.h"
#include "base/trace.h"
#include "site/signed_documents.h"
#include "site/signing.h"

namespace engine {

net::HttpGetResult FetchDocument(const std::string& address) {
  base::ScopedCom com;
  return net::AutomationHttpGet(address);
}

std::string_view BytesOf(const net::HttpGetResult& response) {
  return {reinterpret_cast<const char*>(response.body.data()), response.body.size()};
}

bool SignedBySender(const DocumentVerifier& verifier, const std::string& address,
                    const net::HttpGetResult& response, std::string_view failureTrace) {
  const net::HttpGetResult signature = FetchDocument(address + kSignatureSuffix);
  if (signature.ok && verifier.Verify(BytesOf(response), BytesOf(signature))) return true;
  base::Trace(std::string(failureTrace) + address);
  return false;
}

}  // namespace engine

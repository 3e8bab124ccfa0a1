#pragma once
// Fetching a server document through the system's request object, and
// checking it against the signature served beside it.
#include <string>
#include <string_view>

#include "net/automation_http_win.h"

namespace engine {

class DocumentVerifier;

// One GET with COM initialised for the call on this thread.
net::HttpGetResult FetchDocument(const std::string& address);

std::string_view BytesOf(const net::HttpGetResult& response);

// Whether the exact bytes of response carry the vendor's signature, fetched
// from address + ".sig" the same way. A refusal is traced as failureTrace
// followed by the address.
bool SignedBySender(const DocumentVerifier& verifier, const std::string& address,
                    const net::HttpGetResult& response, std::string_view failureTrace);

}  // namespace engine

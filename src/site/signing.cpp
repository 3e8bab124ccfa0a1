#include "site/signing.h"

namespace engine {
namespace {

// Written on the user-interface thread before any worker starts, read-only
// afterwards.
const DocumentVerifier* g_verifier = nullptr;

}  // namespace

void UseDocumentVerifier(const DocumentVerifier* verifier) { g_verifier = verifier; }

const DocumentVerifier* SigningVerifier() { return g_verifier; }

}  // namespace engine

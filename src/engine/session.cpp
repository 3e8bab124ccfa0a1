#include "engine/session.h"

namespace engine {

Session& CurrentSession() {
  // Allocated once and never freed, on purpose: see the header.
  static Session* const session = new Session;
  return *session;
}

}  // namespace engine

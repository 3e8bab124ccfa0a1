#include "engine/session.h"

namespace engine {

Session& CurrentSession() {
  static Session session;
  return session;
}

}  // namespace engine

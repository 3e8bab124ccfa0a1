#include "site/key_ring.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// A key that accepts exactly the signature that names it.
class NamedKey : public engine::DocumentVerifier {
 public:
  explicit NamedKey(std::string name) : name_(std::move(name)) {}
  bool Verify(std::string_view, std::string_view signature) const override { return signature == name_; }

 private:
  std::string name_;
};

// An updater carries up to four keys while its vendor moves from one to the
// next: a document signed by any of them is accepted, wherever it stands in
// the ring, and one signed by none is refused.
TEST(KeyRing, AcceptsADocumentSignedByAnyOfItsKeysAndNoOther) {
  engine::KeyRing empty;
  EXPECT_FALSE(empty.Verify("document", "key1"));

  engine::KeyRing ring;
  for (const char* name : {"key1", "key2", "key3", "key4"}) ring.Add(std::make_unique<NamedKey>(name));
  for (const char* signature : {"key1", "key2", "key3", "key4"}) EXPECT_TRUE(ring.Verify("document", signature)) << signature;
  for (const char* signature : {"", "key5", "key1key2"}) EXPECT_FALSE(ring.Verify("document", signature)) << signature;
}

}  // namespace

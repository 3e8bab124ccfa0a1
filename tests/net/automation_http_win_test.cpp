#include "net/automation_http_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/scoped_com_win.h"
#include "net/loopback_http_server_win.h"

namespace {

using test_support::HttpResponse;
using test_support::LoopbackHttpServer;

class AutomationHttpGetTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(com_.Ok()); }

  base::ScopedCom com_;
};

std::string Text(const std::vector<unsigned char>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(AutomationHttpGetTest, RetriesUntilStatus200) {
  LoopbackHttpServer server({HttpResponse(500, "broken"), HttpResponse(503, "busy"),
                             HttpResponse(200, "<Update/>"), HttpResponse(200, "too many")});
  ASSERT_TRUE(server.Running());

  const net::HttpGetResult result = net::AutomationHttpGet(server.Url("/app/update.xml"));

  EXPECT_TRUE(result.ok);
  EXPECT_EQ(Text(result.body), "<Update/>");
  // The status read after the loop must not send a fourth request.
  EXPECT_EQ(server.Requests(), 3);
  for (const std::string& line : server.RequestLines()) {
    EXPECT_EQ(line, "GET /app/update.xml HTTP/1.1");
  }
}

TEST_F(AutomationHttpGetTest, GivesUpAfterFiveFailedAttempts) {
  LoopbackHttpServer server({HttpResponse(404, "not here")});
  ASSERT_TRUE(server.Running());

  const net::HttpGetResult result = net::AutomationHttpGet(server.Url("/missing.xml"));

  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(result.body.empty());
  EXPECT_EQ(server.Requests(), 5);
}

TEST_F(AutomationHttpGetTest, EmptyBodyWithStatus200Succeeds) {
  LoopbackHttpServer server({HttpResponse(200, "")});
  ASSERT_TRUE(server.Running());

  const net::HttpGetResult result = net::AutomationHttpGet(server.Url("/empty.xml"));

  EXPECT_TRUE(result.ok);
  EXPECT_TRUE(result.body.empty());
  EXPECT_EQ(server.Requests(), 1);
}

TEST_F(AutomationHttpGetTest, BodyBytesArriveUnchanged) {
  std::string body;
  for (int round = 0; round < 3; ++round) {
    for (int value = 0; value < 256; ++value) body.push_back(static_cast<char>(value));
  }
  LoopbackHttpServer server({HttpResponse(200, body)});
  ASSERT_TRUE(server.Running());

  const net::HttpGetResult result = net::AutomationHttpGet(server.Url("/bytes.bin"));

  ASSERT_TRUE(result.ok);
  EXPECT_EQ(Text(result.body), body);
}

TEST_F(AutomationHttpGetTest, UnreachableServerFails) {
  const unsigned short port = test_support::UnusedLoopbackPort();
  ASSERT_NE(port, 0);

  const net::HttpGetResult result =
      net::AutomationHttpGet("http://127.0.0.1:" + std::to_string(port) + "/update.xml");

  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(result.body.empty());
}

TEST_F(AutomationHttpGetTest, MalformedAddressFails) {
  EXPECT_FALSE(net::AutomationHttpGet("not an address").ok);
  EXPECT_FALSE(net::AutomationHttpGet("").ok);
}

}  // namespace

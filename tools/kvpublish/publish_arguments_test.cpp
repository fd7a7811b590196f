#include "publish_arguments.h"

#include <gtest/gtest.h>

namespace kv::tools {
namespace {

TEST(PublishArguments, AcceptsTheDocumentedForms) {
  const struct {
    std::vector<std::string> args;
    std::string server, version, client, site;
  } cases[] = {
      {{"--server", "eu", "client", "site"}, "eu", "KVLauncher Version 0.29", "client", "site"},
      {{"client", "site", "--server", "us"}, "us", "KVLauncher Version 0.29", "client", "site"},
      {{"--server", "eu", "--version-text", "KVLauncher Version 0.30", "c", "s"},
       "eu", "KVLauncher Version 0.30", "c", "s"},
      {{"--server", "eu", "--version-text", "", "c", "s"}, "eu", "", "c", "s"},
      {{"--server", "us", "--", "-client", "site"}, "us", "KVLauncher Version 0.29", "-client", "site"},
  };
  for (const auto& c : cases) {
    PublishArguments out;
    std::string error;
    ASSERT_EQ(parsePublishArguments(c.args, out, error), ParseOutcome::Run) << error;
    EXPECT_EQ(out.serverFolder, c.server);
    EXPECT_EQ(out.versionText, c.version);
    EXPECT_EQ(out.clientDir, c.client);
    EXPECT_EQ(out.siteDir, c.site);
  }
}

TEST(PublishArguments, StoreTargetTakesTheClientAlone) {
  PublishArguments out;
  std::string error;
  ASSERT_EQ(parsePublishArguments({"--server", "us", "--to", "s3://site/game", "--endpoint", "https://s3.example",
                                   "--addressing", "path", "--prune", "--no-index", "client"},
                                  out, error),
            ParseOutcome::Run)
      << error;
  EXPECT_EQ(out.storeUrl, "s3://site/game");
  EXPECT_EQ(out.endpoint, "https://s3.example");
  EXPECT_EQ(out.addressing, "path");
  EXPECT_EQ(out.clientDir, "client");
  EXPECT_TRUE(out.siteDir.empty());
  EXPECT_TRUE(out.prune);
  EXPECT_TRUE(out.noIndex);
}

TEST(PublishArguments, RejectsMisuse) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"client", "site"},
      {"--server", "EU", "c", "s"},
      {"--server", "asia", "c", "s"},
      {"--server"},
      {"--server", "eu", "c"},
      {"--server", "eu", "c", "s", "extra"},
      {"--server", "eu", "--version-text"},
      {"--server", "eu", "--quiet", "c", "s"},
      {"--server", "eu", "", "s"},
      {"--server", "eu", "--to", "s3://b/p", "c", "s"},
      {"--server", "eu", "--to", "s3://b/p"},
      {"--server", "eu", "--endpoint", "http://127.0.0.1:9000", "c", "s"},
      {"--server", "eu", "--to", "s3://b", "--addressing", "dns", "c"},
  };
  for (const auto& args : cases) {
    PublishArguments out;
    std::string error;
    EXPECT_EQ(parsePublishArguments(args, out, error), ParseOutcome::Misuse) << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
  }
  PublishArguments out;
  std::string error;
  EXPECT_EQ(parsePublishArguments({"--server", "eu", "--help"}, out, error), ParseOutcome::Help);
}

}  // namespace
}  // namespace kv::tools

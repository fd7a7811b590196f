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

TEST(PublishArguments, SigningOptions) {
  const struct {
    std::vector<std::string> args;
    std::string key, client, site;
    std::uint64_t release;
    int days;
    bool resign;
  } cases[] = {
      {{"--server", "eu", "--sign", "k.key", "c", "s"}, "k.key", "c", "s", 0, 30, false},
      {{"--server", "eu", "--sign", "k.key", "--release", "12", "--expires", "7", "c", "s"},
       "k.key",
       "c",
       "s",
       12,
       7,
       false},
      {{"--server", "eu", "--sign", "k.key", "--resign", "s"}, "k.key", "", "s", 0, 30, true},
      {{"--server", "eu", "--sign", "k.key", "--resign", "--expires", "90", "--to", "s3://b"},
       "k.key",
       "",
       "",
       0,
       90,
       true},
  };
  for (const auto& c : cases) {
    PublishArguments out;
    std::string error;
    ASSERT_EQ(parsePublishArguments(c.args, out, error), ParseOutcome::Run) << error;
    EXPECT_EQ(out.signKeyFile, c.key);
    EXPECT_EQ(out.clientDir, c.client);
    EXPECT_EQ(out.siteDir, c.site);
    EXPECT_EQ(out.release, c.release);
    EXPECT_EQ(out.expiresDays, c.days);
    EXPECT_EQ(out.resign, c.resign);
  }
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
      {"--server", "eu", "--resign", "s"},
      {"--server", "eu", "--release", "3", "c", "s"},
      {"--server", "eu", "--expires", "3", "c", "s"},
      {"--server", "eu", "--sign", "k", "--release", "0", "c", "s"},
      {"--server", "eu", "--sign", "k", "--release", "-3", "c", "s"},
      {"--server", "eu", "--sign", "k", "--release", "1x", "c", "s"},
      {"--server", "eu", "--sign", "k", "--expires", "3651", "c", "s"},
      {"--server", "eu", "--sign", "k", "--expires", "", "c", "s"},
      {"--server", "eu", "--sign", "k", "--resign", "c", "s"},
      {"--server", "eu", "--sign", "k", "--resign", "--prune", "s"},
      {"--server", "eu", "--sign", "k", "--resign", "--to", "s3://b", "c"},
      {"--server", "eu", "--sign"},
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

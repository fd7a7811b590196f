#include "store_settings.h"

#include <gtest/gtest.h>

#include <map>

namespace kv::tools {
namespace {

TEST(StoreSettings, ReadsTheStoreFromArgumentsAndEnvironment) {
  const std::map<std::string, std::string> keys = {{"AWS_ACCESS_KEY_ID", "AK"}, {"AWS_SECRET_ACCESS_KEY", "SK"}};
  const struct {
    const char* name;
    std::string url, endpointArgument, addressing;
    std::map<std::string, std::string> environment;
    // Expected: endpoint, region, addressing, bucket, prefix; or an error fragment.
    std::string endpoint, region;
    Addressing addressingOut;
    std::string bucket, prefix, error;
  } cases[] = {
      {"aws defaults", "s3://site/game/", "", "", keys, "https://s3.us-east-1.amazonaws.com", "us-east-1",
       Addressing::VirtualHosted, "site", "game", ""},
      {"own endpoint from the environment, path style",
       "s3://site",
       "",
       "",
       {{"AWS_ACCESS_KEY_ID", "AK"},
        {"AWS_SECRET_ACCESS_KEY", "SK"},
        {"AWS_ENDPOINT_URL", "http://127.0.0.1:9000/"},
        {"AWS_REGION", "eu-west-3"}},
       "http://127.0.0.1:9000",
       "eu-west-3",
       Addressing::Path,
       "site",
       "",
       ""},
      {"argument wins over environment",
       "s3://site/a/b",
       "https://store.example",
       "virtual",
       {{"AWS_ACCESS_KEY_ID", "AK"}, {"AWS_SECRET_ACCESS_KEY", "SK"}, {"AWS_ENDPOINT_URL", "http://127.0.0.1:1"}},
       "https://store.example",
       "us-east-1",
       Addressing::VirtualHosted,
       "site",
       "a/b",
       ""},
      {"plain http beyond this machine", "s3://site", "http://store.example", "", keys, "", "", Addressing::Path, "",
       "", "must use https"},
      {"no keys", "s3://site", "", "", {}, "", "", Addressing::Path, "", "", "AWS_ACCESS_KEY_ID"},
      {"not s3", "https://site/x", "", "", keys, "", "", Addressing::Path, "", "", "not an s3://"},
      {"bad bucket", "s3://Site_1", "", "", keys, "", "", Addressing::Path, "", "", "not a bucket name"},
      {"dotted bucket by host over https", "s3://my.site", "", "", keys, "", "", Addressing::Path, "", "",
       "--addressing path"},
  };
  for (const auto& c : cases) {
    PublishArguments arguments;
    arguments.storeUrl = c.url;
    arguments.endpoint = c.endpointArgument;
    arguments.addressing = c.addressing;
    const auto environment = [&c](const char* name) -> const char* {
      const auto it = c.environment.find(name);
      return it == c.environment.end() ? nullptr : it->second.c_str();
    };
    S3Config config;
    std::string error;
    const bool ok = storeSettings(arguments, environment, config, error);
    if (!c.error.empty()) {
      EXPECT_FALSE(ok) << c.name;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
      continue;
    }
    ASSERT_TRUE(ok) << c.name << ": " << error;
    EXPECT_EQ(config.endpoint, c.endpoint) << c.name;
    EXPECT_EQ(config.region, c.region) << c.name;
    EXPECT_EQ(config.addressing, c.addressingOut) << c.name;
    EXPECT_EQ(config.bucket, c.bucket) << c.name;
    EXPECT_EQ(config.prefix, c.prefix) << c.name;
    EXPECT_EQ(config.credentials.accessKey, "AK") << c.name;
  }
}

TEST(StoreSettings, PartSizeKeepsUnderTheStoresPartLimit) {
  constexpr std::int64_t kMiB = 1024 * 1024;
  EXPECT_EQ(partSizeFor(1, 8 * kMiB), 8 * kMiB);
  EXPECT_EQ(partSizeFor(80000 * kMiB, 8 * kMiB), 8 * kMiB);
  EXPECT_EQ(partSizeFor(80000 * kMiB + 1, 8 * kMiB), 9 * kMiB);
  EXPECT_EQ(partSizeFor(10, 1 * kMiB), 5 * kMiB);  // the store's smallest part
}

}  // namespace
}  // namespace kv::tools

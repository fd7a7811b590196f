#include "updater/endpoints.h"

#include <gtest/gtest.h>

namespace kv::updater {
namespace {

TEST(Endpoints, UrlsOfTheSite) {
  const SiteConfig site{"game.example:8443", ""};
  EXPECT_EQ(downloadBaseUrl(site), "https://game.example:8443/download/");
  EXPECT_EQ(versionUrl(site), "https://game.example:8443/download/updater.php");
  EXPECT_EQ(quickManifestUrl(site, "eu"), "https://game.example:8443/download/eu/manifest.php");
  EXPECT_EQ(fullManifestUrl(site, "us"), "https://game.example:8443/download/us/manifest.json");
  EXPECT_EQ(fileUrl(site, "eu", "da ta/x y.pak"), "https://game.example:8443/download/eu/da%20ta/x%20y.pak");
}

TEST(Endpoints, NamesAndTexts) {
  EXPECT_STREQ(kLocalManifestName, "manifest.json");
  EXPECT_STREQ(kManifestMetaName, "manifest.meta");
  EXPECT_STREQ(kQuickReferencePath, "data/manifest.json");
  EXPECT_STREQ(kDownloadLogName, "curl_download.log");
  EXPECT_STREQ(kOldLibsArchive, "oldlibs.zip");
  EXPECT_EQ(kTextAgent, "KVLauncher");
  EXPECT_EQ(kHttpAgent, "KVLauncher/1.0");
  EXPECT_EQ(kLauncherVersionText, "KVLauncher Version 0.29");
  EXPECT_EQ(kLauncherVersionText.size(), 23u);
  EXPECT_EQ(kTextNewLauncher, "Download the new version of KVLauncher");
  EXPECT_EQ(kTextUpdaterPreparing, "The updater is being prepared for download");
  EXPECT_EQ(kTextManifestFailed, "Failed to download manifest");
  EXPECT_EQ(kTextCheckingUpdates, "Checking updates...");
  EXPECT_EQ(kTextInvalidRemote, "Invalid remote manifest format");
  EXPECT_EQ(kTextInvalidLocal, "Invalid local manifest format");
  EXPECT_EQ(kLogInitFailed, "Failed to initialize CURL.");
  EXPECT_EQ(kBoxInitFailed, "Failed to initialize CUR.");
  EXPECT_EQ(kLogCannotOpenPrefix, "Cannot open file for writing: ");
  EXPECT_EQ(kBoxCannotOpen, "Cannot open file for writing.");
  EXPECT_EQ(kLogPerformErrorPrefix, "curl_easy_perform error: ");
  EXPECT_EQ(kLogHttpStatusPrefix, "HTTP status code: ");
  EXPECT_EQ(kBoxHttpStatusPrefix, "Download failed.\nHTTP response code: ");
  EXPECT_EQ(kTitleError, "Error");
  EXPECT_EQ(kTitleCurlError, "CURL Error");
  EXPECT_EQ(kTitleHttpError, "HTTP Error");
  EXPECT_EQ(kManifestBodyLimit, 67108864u);
  EXPECT_EQ(kVersionBodyLimit, 4096u);
  EXPECT_EQ(kCheckpointBytes, 10485760);
}

TEST(Endpoints, PercentEncodingOfEverySegment) {
  struct Case {
    const char* path;
    const char* encoded;
  };
  const Case cases[] = {
      {"plain.pak", "plain.pak"},
      {"x y.pak", "x%20y.pak"},
      {"da ta/x y.pak", "da%20ta/x%20y.pak"},
      {"a#b/c.pak", "a%23b/c.pak"},
      {"a?b/c.pak", "a%3Fb/c.pak"},
      {"100%/c.pak", "100%25/c.pak"},
      {"\xC3\xB6/\xC3\xBC.pak", "%C3%B6/%C3%BC.pak"},
      {"A-z_0.9~/k+l=m", "A-z_0.9~/k%2Bl%3Dm"},
      {"deep/er/still/file", "deep/er/still/file"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(percentEncodePath(c.path), c.encoded) << c.path;
  }
  EXPECT_EQ(percentEncodeSegment("a/b"), "a%2Fb");
  EXPECT_EQ(percentEncodeSegment(std::string("\x00\xff", 2)), "%00%FF");
}

}  // namespace
}  // namespace kv::updater

// The settings store on an arbitrary "system.kvml" and server "config.kvml":
// typed getters, setters, saving and reading again. Whatever the files
// hold, a value that was set reads back after a save and a fresh load.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "settings/settings_store.h"

using kv::settings::SettingsFile;
using kv::settings::SettingsStore;

namespace {

SettingsStore makeStore(const std::string& root) {
  kv::settings::SettingsLocations locations;
  locations.executableDirectory = root + "/exe";
  locations.profileFolder = root + "/home";
  locations.currentServerFolder = [] { return std::string("eu"); };
  return SettingsStore(std::move(locations));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string root = kv::fuzz::freshFolder("store");
  const std::string exe = kv::fuzz::freshFolder("store/exe");
  kv::fuzz::freshFolder("store/exe/eu/config");
  kv::fuzz::freshFolder("store/home");
  const std::string key = provider.ConsumeRandomLengthString(24);
  const std::int32_t number = provider.ConsumeIntegral<std::int32_t>();
  const std::string system = provider.ConsumeRandomLengthString(4096);
  const std::string config = provider.ConsumeRemainingBytesAsString();
  kv::fuzz::writeBytes(exe + "/system.kvml", system);
  kv::fuzz::writeBytes(exe + "/eu/config/config.kvml", config);

  {
    SettingsStore store = makeStore(root);
    (void)store.getInt(SettingsFile::System, "server", 2);
    (void)store.getString(SettingsFile::System, key);
    (void)store.getBool(key);
    (void)store.getInt(SettingsFile::Config, key, 0);
    if (!store.isLocalConfig()) kv::fuzz::fail("the server's own configuration was not used");
    store.setInt(SettingsFile::System, "server", number);
    store.setBool("enableAudio", false);
    store.saveAllSettings();
  }
  SettingsStore again = makeStore(root);
  if (again.getInt(SettingsFile::System, "server", number == 0 ? 1 : 0) != number) {
    kv::fuzz::fail("a saved number did not read back", std::to_string(number));
  }
  if (again.getBool("enableAudio")) kv::fuzz::fail("a saved flag did not read back");
  return 0;
}

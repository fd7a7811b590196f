#include "updater/stream_hash.h"

#include <gtest/gtest.h>

#include "platform/sha256.h"

namespace kv::updater {
namespace {

// Interleaved streams of one pipe, fed in pieces of every size around the
// pipe's own, each give the digest of its whole content.
TEST(HashPipe, InterleavedStreamsGiveTheDigestsOfTheirWholeContents) {
  std::vector<std::string> contents = {"", "abc", std::string(256 * 1024, 'x'), std::string(256 * 1024 + 1, 'y'),
                                       std::string(3 * 1024 * 1024 + 17, '\0')};
  for (std::size_t i = 0; i < contents.back().size(); ++i) contents.back()[i] = static_cast<char>(i * 31 % 251);
  const std::size_t steps[] = {1, 7, 16384, 262143, 1000000};
  for (const std::size_t step : steps) {
    SCOPED_TRACE(step);
    HashPipe pipe;
    std::vector<std::unique_ptr<HashPipe::Stream>> streams;
    for (std::size_t i = 0; i < contents.size(); ++i) streams.push_back(pipe.open());
    std::vector<std::size_t> fed(contents.size(), 0);
    for (bool more = true; more;) {
      more = false;
      for (std::size_t i = 0; i < contents.size(); ++i) {
        const std::size_t size = std::min(step, contents[i].size() - fed[i]);
        if (size == 0) continue;
        streams[i]->add(contents[i].data() + fed[i], size);
        fed[i] += size;
        more = true;
      }
    }
    for (std::size_t i = 0; i < contents.size(); ++i) {
      EXPECT_EQ(streams[i]->finishHex(), platform::sha256Hex(contents[i].data(), contents[i].size())) << i;
    }
  }
  // A stream dropped before its end leaves the pipe to the others.
  HashPipe pipe;
  auto dropped = pipe.open();
  dropped->add(contents.back().data(), contents.back().size());
  dropped.reset();
  auto kept = pipe.open();
  kept->add("abc", 3);
  EXPECT_EQ(kept->finishHex(), platform::sha256Hex("abc", 3));
}

}  // namespace
}  // namespace kv::updater

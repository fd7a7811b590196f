#pragma once

#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace kv::test {

// How many fault points a sweep tries: KV_SWEEP_POINTS when set (the long
// form), else quickDefault.
int sweepPoints(int quickDefault);

// The random source of a sweep, seeded from KV_SWEEP_SEED when set (so a
// failing sweep can be repeated) and announced on standard output.
std::mt19937 sweepRandom();

// count points spread over 1..total: evenly, each moved by a random amount
// inside its own stretch, so that the sweep reaches both ends.
std::vector<long> spreadPoints(long total, int count, std::mt19937& random);

// A program of the build (KV_BIN_DIR, else beside the test binary).
std::string buildProgram(const std::string& name);

// What the write-fault library is told to do.
struct FaultPlan {
  std::string match;          // count only writes to paths containing this
  long writeAt = 0;           // kill (or fail) at this write; 0: count only
  bool diskFull = false;      // fail with ENOSPC from writeAt on instead of killing
  long renameAt = 0;          // kill at this rename instead; 0: never
  std::string countFile;      // receives the number of matching writes
  std::string renameCountFile;  // receives the number of matching renames
};

// The environment that loads the write-fault library with plan.
std::vector<std::string> faultEnvironment(const FaultPlan& plan);

// The number written to a count file, or -1.
long readCount(const std::string& path);

// The tree below root as snapshotTree has it, without the entries whose
// relative path starts with one of skipped.
std::map<std::string, std::string> snapshotWithout(const std::string& root, const std::vector<std::string>& skipped);

}  // namespace kv::test

#pragma once

#include <functional>
#include <string>

#include "publish_arguments.h"
#include "s3_store.h"

namespace kv::tools {

// Reads the environment variable name; nullptr when it is not set.
using EnvironmentReader = std::function<const char*(const char*)>;

// The store settings of a publication to arguments.storeUrl: bucket and
// prefix from it, the endpoint from --endpoint, else AWS_ENDPOINT_URL, else
// AWS's own for the region; the keys from AWS_ACCESS_KEY_ID,
// AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN; the region from AWS_REGION
// (default us-east-1). False with a reason when something is missing or not
// safe (plain http beyond this machine).
[[nodiscard]] bool storeSettings(const PublishArguments& arguments, const EnvironmentReader& environment,
                                 S3Config& config, std::string& error);

}  // namespace kv::tools

// The host's offer of signature files for benchmarks: each path as the
// signature of its tag, and agent bootstrap data, which keeps the legacy
// intelligence file out of use.
#pragma once

#include <map>
#include <string>

#include "vd_config.h"

namespace signature_offer {

void Offer(vdInstance &instance, const std::map<std::string, std::string> &paths_by_tag);

}  // namespace signature_offer

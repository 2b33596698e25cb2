// Reads what the host's web API manager offers: signatures and bootstrap data.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "vd_api.h"

using BootstrapData = std::map<uint8_t, std::shared_ptr<const vdVelborApiData>>;

// A JSON list of objects with the members of vdVelborApiData::Signature,
// keyed by tag. Throws std::runtime_error naming the file and the member,
// or the file and the line for text that is not a bounded JSON document.
vdVelborApiManager::Signatures ReadSignaturesFile(const std::string &path);

// {"intel": {"urls": {NAME: URL, ...}, "auth": TOKEN}, ...} with the type
// names agent, intel and dev_discovery. Throws like ReadSignaturesFile.
BootstrapData ReadBootstrapFile(const std::string &path);

// Configuration names of the enumerations, in both directions where a name is
// ever read back. Lookups never fail: a value without a name gives the name
// of value 0 (or "unknown" for processor events), a name without a value
// gives value 0. The indicator and data-feed classes forward to these.
#pragma once

#include <optional>
#include <string>

#include "common/enums.h"
#include "vd_plugin.h"

namespace vppNames {

std::string GetDriverName(vppIndicator::Driver driver);
vppIndicator::Driver GetDriver(const std::string &name);
// The category an indicator of this driver belongs to; none for invalid or
// unknown drivers.
vppIndicator::Category GetDriverCategory(vppIndicator::Driver driver);

std::string GetCategoryName(vppIndicator::Category category);

std::string GetDataSourceName(vppDataFeed::DataSource source);
vppDataFeed::DataSource GetDataSource(const std::string &name);

// "dpi_risk" is read as risk; risk is always named "risk".
std::string GetDataTypeName(vppDataFeed::DataType type);
vppDataFeed::DataType GetDataType(const std::string &name);

std::string GetEventName(vdPluginProcessor::Event event);

// No fall-back here: the cache-key reader rejects a name that is not listed.
std::optional<vppCache::FlowKey> FindFlowKey(const std::string &name);

}  // namespace vppNames

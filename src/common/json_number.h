// Strict reading of JSON numbers from documents that may be damaged: a value
// that does not fit its field exactly is an error, never wrapped, truncated
// or rounded away. Errors are vdException naming the field and the value.
#pragma once

#include <cstdint>

#include "vd_common.h"

namespace vppJson {

// what names the field in the error text. Integral floating-point values
// (5.0) are accepted; booleans are not numbers here.
uint32_t ReadUInt32(const json &value, const char *what);
uint64_t ReadUInt64(const json &value, const char *what);
int32_t ReadInt32(const json &value, const char *what);
// Any number whose value is a finite 32-bit float.
float ReadFloat(const json &value, const char *what);

}  // namespace vppJson

// Builds a host flow from its JSON form: an object naming vdFlow members.
#pragma once

#include <string>

#include "json_values.h"
#include "vd_flow.h"

// Fills flow from object; members left out keep their defaults. path names
// the object in error messages ("flow", "flowmap[2]"). Throws InputError for
// an unknown member, a value of the wrong type or out of range.
void ReadFlow(const json &object, vdFlow &flow, const std::string &path);

// The host daemon library's interface for plug-ins.
#pragma once

#include "vd_addr.h"
#include "vd_api.h"
#include "vd_common.h"
#include "vd_config.h"
#include "vd_flow.h"
#include "vd_plugin.h"
#include "vd_temp.h"
#include "vd_thread.h"

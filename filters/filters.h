// The signal filters of the force-control thread: the request record
// FilterOptions, the interface Filter and its four filters (type codes 1 to 4).
#pragma once

#include "filters/filter.h"
#include "filters/filter_options.h"
#include "filters/high_pass_rate_limiter.h"
#include "filters/low_pass_filter.h"
#include "filters/notch_filter.h"
#include "filters/rate_limiter.h"
#include "filters/wrench.h"

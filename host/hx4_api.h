// The host's API as a device sees it: libhx4_program_api and libhx4rc_api.
#pragma once

#include "host/bundle.h"
#include "host/cmd_result.h"
#include "host/console.h"
#include "host/control_resources.h"
#include "host/controller_backend.h"
#include "host/controller_types.h"
#include "host/events.h"
#include "host/geometry.h"
#include "host/input_dialog.h"
#include "host/program_interface.h"
#include "host/program_values.h"
#include "host/signals.h"

#pragma once
// Everything a WDM driver includes: the kernel, I/O, power and HAL services
// of the kernel stand-in.

#include "platform/wdm/hal.h"
#include "platform/wdm/io_manager.h"
#include "platform/wdm/irql.h"
#include "platform/wdm/ke_sync.h"
#include "platform/wdm/ntstatus.h"
#include "platform/wdm/object_namespace.h"
#include "platform/wdm/power.h"
#include "platform/wdm/power_types.h"
#include "platform/wdm/resources.h"
#include "platform/wdm/wdm_types.h"

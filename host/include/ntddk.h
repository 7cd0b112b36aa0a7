// Host stand-in for ntddk.h: everything the driver needs is in wdm.h.
#pragma once
#include "wdm.h"

// The table of what DriverEntry installed: add-device and unload routines, and the dispatch
// routine of every major function.
#pragma once

#include <cstdio>

#include "host/host.h"

namespace kdxsim {

void PrintDispatchTable(PDRIVER_OBJECT driver, FILE* out);

}  // namespace kdxsim

// The product identities (USB vendor and product identifiers) kernel and user
// space share. They are declared once, in the kernel driver's product table,
// which this header brings in for user space: user space includes this
// header, never the engine's, so when the table itself moves here no user
// source changes. Nothing here links the engine.
#pragma once

#include "driver/engine/ZrProductTable.h"

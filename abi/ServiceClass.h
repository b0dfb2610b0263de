// The kernel driver's service class: every personality names it and every
// user-space deliverable matches on it.
#pragma once

constexpr const char* kZrServiceClassName = "ZrKernelDeviceKorvexHX5100";

// SPDX-License-Identifier: MIT
#pragma once

#include "automounter.h"

#include <string>
#include <vector>

namespace orva::automount {

// orva-automount status: a line for each device, under a heading, or one
// JSON object {"devices": [...]} with a member for each field of
// DeviceReport, for scripts. Every text is made printable first.
std::string statusText(const std::vector<DeviceReport> &reports);
std::string statusJson(const std::vector<DeviceReport> &reports);

} // namespace orva::automount

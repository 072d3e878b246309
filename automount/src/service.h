// SPDX-License-Identifier: MIT
#pragma once

#include "automounter.h"

namespace orva::automount {

// orva-automount serve: the resident service. It listens to udev's block
// events and mounts, in its own process, every device that the udev rule
// marks with ORVA_AUTOMOUNT=1, and takes it away when it goes. At start
// it first makes the watch directory match the devices there are (after
// a crash, a kill or a boot: what no device backs goes, what is in and
// marked is mounted), then tells systemd it is ready. Returns when a stop
// signal comes; throws Failure when it cannot listen at all.
void serve(Automounter &automounter);

} // namespace orva::automount

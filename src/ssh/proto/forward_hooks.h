#pragma once
// The connections behind X11 and forwarded-port channels, as the connection layer calls
// them.
#include "ssh/forward/port_forward.h"
#include "ssh/x11/x11.h"

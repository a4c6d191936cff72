// The transport's handle kinds live with every other Windows handle kind.
#pragma once

#include "core/win_handles_win.h"

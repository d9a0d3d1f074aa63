#include "platform/win32/discovery_win32.h"

#include "BrindleKit/ToolBridge.h"

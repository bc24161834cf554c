#include "BrindleKit/SSEWriter.h"

#include "BrindleKit/ErrorMapping.h"

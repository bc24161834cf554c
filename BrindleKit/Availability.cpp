#include "BrindleKit/Availability.h"

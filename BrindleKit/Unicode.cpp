#include "BrindleKit/Unicode.h"

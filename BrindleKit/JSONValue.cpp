#include "BrindleKit/JSONValue.h"

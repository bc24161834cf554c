#include "BrindleModel/BuiltinModel.h"

#include "BrindleKit/CompletionEngine.h"

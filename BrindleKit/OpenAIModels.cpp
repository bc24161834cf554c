#include "BrindleKit/OpenAIModels.h"

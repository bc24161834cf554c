#include "BrindleModel/LanguageModel.h"

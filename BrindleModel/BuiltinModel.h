#pragma once
#include "BrindleModel/LanguageModel.h"

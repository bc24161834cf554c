#include "BrindleKit/TranscriptBuilder.h"

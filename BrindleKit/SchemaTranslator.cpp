#include "BrindleKit/SchemaTranslator.h"

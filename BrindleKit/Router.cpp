#include "BrindleKit/Router.h"

#include "BrindleKit/HTTPServer.h"

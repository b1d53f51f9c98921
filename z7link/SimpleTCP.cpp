#include "z7link/SimpleTCP.h"

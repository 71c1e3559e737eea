#include "tools.h"

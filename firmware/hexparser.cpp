#include "hexparser.h"

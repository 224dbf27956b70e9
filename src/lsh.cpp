#include "lsh.h"

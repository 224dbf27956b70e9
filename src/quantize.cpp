#include "quantize.h"

#include "interval_tree.h"

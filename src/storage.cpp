#include "storage.h"

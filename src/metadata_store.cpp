#include "metadata_store.h"

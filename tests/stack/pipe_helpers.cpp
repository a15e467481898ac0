#include "pipe_helpers.h"

#include <cstdio>


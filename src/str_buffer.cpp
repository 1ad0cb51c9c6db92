#include "str_buffer.h"
